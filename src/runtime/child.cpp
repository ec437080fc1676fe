// Children: every program pakrev runs is "/bin/sh -c LINE", forked and
// exec'd into a process group of its own, and waited for here, so that a
// stop signal can always end it together with its pipeline.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/options.h"
#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace {

const char SHELL[] = "/bin/sh";

// A free slot of childGroups, now taken (-1); nullptr when all are taken.
std::atomic<int>* takeChildSlot() {
    for (std::atomic<int>& slot : childGroups) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, -1)) return &slot;
    }
    return nullptr;
}

// Starts the line with its standard output on outputFd (-1: pakrev's own).
// Returns the child's pid (also its process group) and the slot it holds;
// -1 when no child was started (fork failed, no slot, or no child may start
// now).
pid_t startShell(const std::string& line, int outputFd, std::atomic<int>*& slot) {
    fflush(stdout);
    fflush(stderr);
    sigset_t block, previous;
    stopSignalSet(&block);
    // Blocked until the child is on record, so the handler sees either no
    // child or one whose group exists; a slot taken before the fork tells a
    // handler on another thread that a child is on its way.
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    slot = childStartRefused() ? nullptr : takeChildSlot();
    if (!slot) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        for (size_t i = 0; i < HANDLED_SIGNAL_COUNT; ++i) signal(HANDLED_SIGNALS[i], SIG_DFL);
        if (outputFd >= 0 && outputFd != STDOUT_FILENO) dup2(outputFd, STDOUT_FILENO);
        // Work beside the main thread runs with the stop signals blocked;
        // its children take them as any program does.
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        sigprocmask(SIG_UNBLOCK, &block, nullptr);
        execl(SHELL, "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        // Also done by the child; whichever comes first makes the group.
        setpgid(pid, pid);
        slot->store(pid);
        // A stop that came while the slot was not yet a group.
        if (noteChildGroup(pid) || caughtStopSignal) kill(-pid, SIGTERM);
    } else {
        slot->store(0);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

// Waits for the started line and returns its raw wait status; ends the run
// with "Caught signal" when a stop signal came meanwhile.
int finishShell(pid_t pid, std::atomic<int>* slot) {
    // Waits without reaping first: while the child is a zombie its pid and
    // group cannot be reused, so the handler may still signal the group.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    sigset_t block, previous;
    stopSignalSet(&block);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    slot->store(0);
    noteChildGroup(0);
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // Members that the line left behind and that are gone by now.
    while (waitpid(-pid, nullptr, WNOHANG) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (caughtStopSignal) {
        stopProcessGroup(pid);
        errorExit("Caught signal");
    }
    // Work that is being stopped leaves none of its group behind.
    if (childStartRefused()) stopProcessGroup(pid);
    return status;
}

}  // namespace

int runShellLine(const std::string& line) {
    std::atomic<int>* slot = nullptr;
    pid_t pid = startShell(line, -1, slot);
    if (pid < 0) return -1;
    return finishShell(pid, slot);
}

int readCommandOutput(const std::string& line,
                      const std::function<bool(const unsigned char*, size_t)>& consume) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::atomic<int>* slot = nullptr;
    pid_t pid = startShell(line, fds[1], slot);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    unsigned char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || !consume(buffer, static_cast<size_t>(got))) break;
    }
    close(fds[0]);
    return finishShell(pid, slot);
}
