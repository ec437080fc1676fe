// Work beside the main thread: each piece in a thread of its own with its
// output held back; the main thread waits for the pieces, watches for stop
// signals meanwhile and stops the pieces when the run ends early.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/options.h"
#include "progress/progress.h"
#include "runtime/internal.h"
#include "runtime/runtime.h"

struct ParallelWork::Piece {
    std::function<bool()> work;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;  // with the mutex held
    bool result = false;
    bool fatal = false;
    FatalInWork ending;
    HeldOutput output;
    std::atomic<bool> stopAsked{false};
    std::atomic<int> childGroup{0};
    bool showProgress = false;
};

std::atomic<int> activeWorkCount{0};

namespace {

using Piece = ParallelWork::Piece;
using std::chrono::milliseconds;

// How often the waiting main thread looks for a caught stop signal.
const milliseconds WATCH_INTERVAL(20);
// How long a piece whose children got SIGTERM has before they get SIGKILL,
// and how long the run then waits for work done in process before it ends
// without it after a stop signal.
const milliseconds STOP_GRACE(2000);
const milliseconds STOP_LIMIT(5000);

thread_local Piece* currentPiece = nullptr;

// Every piece not yet joined, of every ParallelWork (main thread only).
std::vector<Piece*> livePieces;

void runPiece(Piece* piece) {
    currentPiece = piece;
    holdOutput(&piece->output, piece->showProgress);
    bool result = false, fatal = false;
    FatalInWork ending;
    try {
        result = piece->work();
    } catch (const FatalInWork& error) {
        fatal = true;
        ending = error;
    }
    holdOutput(nullptr);
    {
        std::lock_guard<std::mutex> lock(piece->mutex);
        piece->result = result;
        piece->fatal = fatal;
        piece->ending = ending;
        piece->done = true;
    }
    piece->finished.notify_all();
    --activeWorkCount;
}

// Waits up to `limit` for the piece to be done; true when it is.
bool waitDone(Piece* piece, milliseconds limit) {
    std::unique_lock<std::mutex> lock(piece->mutex);
    return piece->finished.wait_for(lock, limit, [piece] { return piece->done; });
}

void forget(Piece* piece) {
    livePieces.erase(std::remove(livePieces.begin(), livePieces.end(), piece), livePieces.end());
    delete piece;
}

// Asks the piece to stop: its child's group gets SIGTERM and no new child
// of it starts.
void askToStop(Piece* piece) {
    piece->stopAsked = true;
    int group = piece->childGroup;
    if (group > 0) kill(-group, SIGTERM);
}

// Stops the pieces and waits for them: SIGKILL for children still there
// after the grace. When the run is ending (endMessage given, or a stop
// signal caught), work done in process that is still not over after
// STOP_LIMIT is not waited for: the run ends at once, as the signal handler
// ends it, with the message ("" for none).
void stopPieces(const std::vector<Piece*>& stopping, const std::string* endMessage) {
    for (Piece* piece : stopping) askToStop(piece);
    auto deadline = std::chrono::steady_clock::now() + STOP_GRACE;
    for (Piece* piece : stopping) {
        auto now = std::chrono::steady_clock::now();
        waitDone(piece, now < deadline ? std::chrono::duration_cast<milliseconds>(deadline - now)
                                       : milliseconds(0));
    }
    for (Piece* piece : stopping) {
        int group = piece->childGroup;
        if (group > 0) kill(-group, SIGKILL);
    }
    for (Piece* piece : stopping) {
        bool ending = caughtStopSignal || endMessage;
        if (ending && !waitDone(piece, STOP_LIMIT)) {
            std::string text = caughtStopSignal ? "Caught signal" : *endMessage;
            fflush(stdout);
            stopProgress();
            if (!text.empty()) writeText(STDERR_FILENO, ("error: " + text + "\n").c_str());
            removeWorkspaceNow(options.verbose);
            _exit(1);
        }
        piece->thread.join();
        forget(piece);
    }
}

}  // namespace

bool childStartRefused() { return caughtStopSignal || (currentPiece && currentPiece->stopAsked); }

bool noteChildGroup(pid_t group) {
    if (!currentPiece) return false;
    currentPiece->childGroup = group;
    return currentPiece->stopAsked;
}

ParallelWork::ParallelWork() = default;

ParallelWork::~ParallelWork() {
    std::vector<Piece*> unfinished;
    for (Piece* piece : pieces)
        if (piece && std::find(livePieces.begin(), livePieces.end(), piece) != livePieces.end())
            unfinished.push_back(piece);
    stopPieces(unfinished, nullptr);
}

size_t ParallelWork::start(std::function<bool()> work, bool showProgress) {
    Piece* piece = new Piece;
    piece->work = std::move(work);
    piece->showProgress = showProgress;
    ++activeWorkCount;
    livePieces.push_back(piece);
    pieces.push_back(piece);
    // The stop signals go to the main thread, which waits for the work.
    sigset_t block, previous;
    stopSignalSet(&block);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    piece->thread = std::thread(runPiece, piece);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pieces.size() - 1;
}

bool ParallelWork::finish(size_t index) {
    Piece* piece = pieces[index];
    while (!waitDone(piece, WATCH_INTERVAL))
        if (caughtStopSignal) errorExit("Caught signal");
    piece->thread.join();
    pieces[index] = nullptr;
    bool result = piece->result;
    bool fatal = piece->fatal;
    FatalInWork ending = piece->ending;
    HeldOutput output = std::move(piece->output);
    forget(piece);
    if (caughtStopSignal) errorExit("Caught signal");
    printHeldOutput(output);
    if (fatal && ending.quiet) quietExit(ending.status);
    if (fatal) errorExit(ending.message);
    return result;
}

void ParallelWork::stopAfter(size_t index) {
    std::vector<Piece*> later;
    for (size_t i = index + 1; i < pieces.size(); ++i) {
        if (pieces[i]) later.push_back(pieces[i]);
        pieces[i] = nullptr;
    }
    stopPieces(later, nullptr);
}

void stopAllParallelWork(const std::string& endMessage) {
    std::vector<Piece*> all = livePieces;
    stopPieces(all, &endMessage);
}
