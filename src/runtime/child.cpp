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

// Starts the line with its standard output on outputFd (-1: pakrev's own).
// Returns the child's pid (also its process group), -1 when fork failed.
pid_t startShell(const std::string& line, int outputFd) {
    fflush(stdout);
    fflush(stderr);
    sigset_t block, previous;
    stopSignalSet(&block);
    // Blocked until the child is on record, so the handler sees either no
    // child or one whose group exists.
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        for (size_t i = 0; i < HANDLED_SIGNAL_COUNT; ++i) signal(HANDLED_SIGNALS[i], SIG_DFL);
        if (outputFd >= 0 && outputFd != STDOUT_FILENO) dup2(outputFd, STDOUT_FILENO);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        execl(SHELL, "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        // Also done by the child; whichever comes first makes the group.
        setpgid(pid, pid);
        runningChildGroup = pid;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

// Waits for the started line and returns its raw wait status; ends the run
// with "Caught signal" when a stop signal came meanwhile.
int finishShell(pid_t pid) {
    // Waits without reaping first: while the child is a zombie its pid and
    // group cannot be reused, so the handler may still signal the group.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    sigset_t block, previous;
    stopSignalSet(&block);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    runningChildGroup = 0;
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // Members that the line left behind and that are gone by now.
    while (waitpid(-pid, nullptr, WNOHANG) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (caughtStopSignal) {
        alarm(0);
        stopProcessGroup(pid);
        errorExit("Caught signal");
    }
    return status;
}

}  // namespace

int runShellLine(const std::string& line) {
    pid_t pid = startShell(line, -1);
    if (pid < 0) return -1;
    return finishShell(pid);
}

int readCommandOutput(const std::string& line,
                      const std::function<bool(const unsigned char*, size_t)>& consume) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = startShell(line, fds[1]);
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
    return finishShell(pid);
}
