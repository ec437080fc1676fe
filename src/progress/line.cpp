// The progress line on the terminal: the stack of live steps, the thread
// that draws the innermost one, and the erasing before other output.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "progress/progress.h"

namespace {

using Clock = std::chrono::steady_clock;

struct LiveStep {
    uint64_t serial;
    std::string name;
    ProgressSource::Kind kind;
    std::string path;                    // FILE_SIZE: the file written
    std::vector<std::pair<dev_t, ino_t>> inputs;  // READING: the files read
    uint64_t total = 0;
    uint64_t done = 0;  // the largest count measured so far
    Clock::time_point start;
};

// Longest stdout/stderr text kept as the start of the terminal's current
// line; a longer one stops the drawing until a newline comes.
constexpr size_t MAX_PENDING = 400;

struct Engine {
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    bool stopThread = false;
    std::vector<LiveStep> steps;
    uint64_t nextSerial = 1;

    bool shown = false;
    // The text written since the terminal's last newline (stderr, and
    // stdout when it is the same terminal): the line is drawn after it and
    // erased back to it.
    std::string pending;
    bool stdoutShared = false;
    size_t fixedWidth = 0;  // 0: ask the terminal
    std::chrono::milliseconds firstDraw{500};
    std::chrono::milliseconds interval{200};
    Clock::time_point quietUntil;
};

// Never destroyed: the exit-time stop and a late signal may still use it.
Engine& engine() {
    static Engine* e = new Engine;
    return *e;
}

std::atomic<bool> lineOn{false};
volatile sig_atomic_t dead = 0;
// The erase sequence for the signal handler, kept ready by every draw.
char signalErase[MAX_PENDING + 8];
volatile sig_atomic_t signalEraseLength = 0;

void writeAll(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(STDERR_FILENO, bytes.data() + off, bytes.size() - off);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

size_t terminalWidth(const Engine& e) {
    if (e.fixedWidth) return e.fixedWidth;
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// With the mutex held.
void eraseLocked(Engine& e) {
    if (!e.shown) return;
    e.shown = false;
    signalEraseLength = 0;
    writeAll("\r" + e.pending + "\x1b[K");
}

// With the mutex held: the text went to the terminal after the erase.
void noteTextLocked(Engine& e, const std::string& text) {
    size_t newline = text.rfind('\n');
    if (newline == std::string::npos)
        e.pending += text;
    else
        e.pending = text.substr(newline + 1);
}

void drawLocked(Engine& e, const std::string& text) {
    std::string erase = "\r" + e.pending + "\x1b[K";
    std::string line = "\r" + e.pending + text + "\x1b[K";
    if (dead) return;
    signalEraseLength = 0;
    memcpy(signalErase, erase.data(), erase.size());
    signalEraseLength = static_cast<sig_atomic_t>(erase.size());
    writeAll(line);
    e.shown = true;
}

uint64_t measure(const LiveStep& step) {
    if (step.kind == ProgressSource::FILE_SIZE) {
        struct stat st;
        return stat(step.path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    uint64_t done = 0;
    for (const auto& [device, inode] : step.inputs) done += bytesReadOf(getpid(), device, inode);
    // A read that went past a limit (buffered reading ahead) counts as done.
    return step.total && done > step.total ? step.total : done;
}

void drawLoop() {
    Engine& e = engine();
    std::unique_lock<std::mutex> lock(e.mutex);
    while (!e.stopThread) {
        e.wake.wait_for(lock, e.interval, [&] { return e.stopThread; });
        if (e.stopThread || dead || e.steps.empty()) continue;
        Clock::time_point now = Clock::now();
        LiveStep step = e.steps.back();
        if (now - step.start < e.firstDraw || now < e.quietUntil) continue;
        lock.unlock();
        uint64_t done = measure(step);
        lock.lock();
        if (e.stopThread || e.steps.empty() || e.steps.back().serial != step.serial) continue;
        if (done < e.steps.back().done) done = e.steps.back().done;
        e.steps.back().done = done;
        if (Clock::now() < e.quietUntil) continue;
        size_t width = terminalWidth(e);
        if (e.pending.size() >= MAX_PENDING || e.pending.size() + 20 > width) {
            eraseLocked(e);
            continue;
        }
        double seconds = std::chrono::duration<double>(Clock::now() - step.start).count();
        drawLocked(e, formatProgressLine(step.name, done, step.total, seconds,
                                         width - 1 - e.pending.size()));
    }
}

// Starts the thread with the trapped signals blocked, so that a signal is
// always handled by a thread that is doing the work.
void startThreadLocked(Engine& e) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    e.stopThread = false;
    e.thread = std::thread(drawLoop);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Joins the thread (the mutex must not be held) and erases the line.
void joinThread(Engine& e) {
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        e.stopThread = true;
        finished = std::move(e.thread);
    }
    e.wake.notify_all();
    if (finished.joinable()) finished.join();
    std::lock_guard<std::mutex> lock(e.mutex);
    eraseLocked(e);
}

void stopAtExit() { stopProgress(); }

bool sameDevice(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev &&
           sa.st_ino == sb.st_ino;
}

void turnOn() {
    static bool registered = false;
    if (!registered) {
        registered = true;
        atexit(stopAtExit);
    }
    lineOn = true;
}

}  // namespace

void setupProgressLine(bool wanted) {
    if (!wanted || !isatty(STDERR_FILENO)) return;
    Engine& e = engine();
    e.stdoutShared = isatty(STDOUT_FILENO) && sameDevice(STDOUT_FILENO, STDERR_FILENO);
    turnOn();
}

void forceProgressLine(size_t width, int firstDrawMs, int intervalMs) {
    Engine& e = engine();
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        e.stdoutShared = false;
        e.fixedWidth = width;
        e.firstDraw = std::chrono::milliseconds(firstDrawMs);
        e.interval = std::chrono::milliseconds(intervalMs);
        e.pending.clear();
        e.shown = false;
    }
    dead = 0;
    turnOn();
}

bool progressLineOn() { return lineOn && !dead; }

void clearProgress() {
    if (!progressLineOn()) return;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    eraseLocked(e);
    e.quietUntil = Clock::now() + e.interval;
}

void stopProgress() {
    if (!lineOn) return;
    Engine& e = engine();
    joinThread(e);
    lineOn = false;
}

void stopProgressFromSignal() {
    if (!lineOn || dead) return;
    dead = 1;
    sig_atomic_t length = signalEraseLength;
    if (length > 0) {
        ssize_t ignored = write(STDERR_FILENO, signalErase, static_cast<size_t>(length));
        (void)ignored;
    }
}

namespace {
thread_local HeldOutput* heldOutput = nullptr;
thread_local bool heldShowsSteps = false;

// The text that `format` and `args` print; consumes `args`.
std::string formatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}


void printTo(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void printTo(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintTo(stream, format, args);
    va_end(args);
}
}  // namespace

void holdOutput(HeldOutput* into, bool showSteps) {
    heldOutput = into;
    heldShowsSteps = into && showSteps;
}

bool outputHeld() { return heldOutput != nullptr; }

void printHeldOutput(const HeldOutput& held) {
    for (const auto& piece : held.pieces) {
        if (piece.first == stderr) fflush(stdout);
        printTo(piece.first, "%s", piece.second.c_str());
    }
}

void vprintTo(FILE* stream, const char* format, va_list args) {
    if (heldOutput) {
        heldOutput->pieces.emplace_back(stream, formatted(format, args));
        return;
    }
    if (!progressLineOn()) {
        vfprintf(stream, format, args);
        return;
    }
    std::string text = formatted(format, args);

    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    eraseLocked(e);
    e.quietUntil = Clock::now() + e.interval;
    fputs(text.c_str(), stream);
    if (stream == stderr || e.stdoutShared) {
        // The text is on the terminal before the thread may draw again.
        fflush(stream);
        noteTextLocked(e, text);
    }
}

void printOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintTo(stdout, format, args);
    va_end(args);
}

ProgressStep::ProgressStep(const std::string& name, const ProgressSource& source) {
    if (!progressLineOn() || (heldOutput && !heldShowsSteps)) return;
    LiveStep step;
    step.name = name;
    step.kind = source.kind;
    step.total = source.limit;
    if (source.kind == ProgressSource::FILE_SIZE) {
        if (source.paths.empty()) return;
        step.path = source.paths.front();
    } else {
        uint64_t size = 0;
        for (const std::string& path : source.paths) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0) return;
            step.inputs.emplace_back(st.st_dev, st.st_ino);
            size += static_cast<uint64_t>(st.st_size);
        }
        step.total = source.limit && source.limit < size ? source.limit : size;
    }

    step.start = Clock::now();
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.mutex);
    step.serial = serial = e.nextSerial++;
    e.steps.push_back(step);
    if (!e.thread.joinable()) startThreadLocked(e);
}

ProgressStep::~ProgressStep() {
    if (serial == 0) return;
    Engine& e = engine();
    bool last;
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        for (auto it = e.steps.begin(); it != e.steps.end(); ++it)
            if (it->serial == serial) {
                e.steps.erase(it);
                break;
            }
        last = e.steps.empty();
    }
    if (last) joinThread(e);
}
