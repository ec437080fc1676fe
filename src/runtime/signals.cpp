// The stop signals: what the handlers do while a child runs and while none
// does (runtime.h, "Signals"), the grace before SIGKILL, and the stopping of
// a child's process group.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "driver/options.h"
#include "progress/progress.h"
#include "runtime/internal.h"
#include "runtime/runtime.h"

std::atomic<int> childGroups[CHILD_SLOT_COUNT];
std::atomic<int> caughtStopSignal{0};

const int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGSEGV};
const size_t HANDLED_SIGNAL_COUNT = sizeof HANDLED_SIGNALS / sizeof HANDLED_SIGNALS[0];

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Seconds a child's group has, after SIGTERM, before it gets SIGKILL.
const unsigned GRACE_SECONDS = 2;
// How long stopProcessGroup waits for the group to go, in 10 ms steps: the
// grace after SIGTERM, then at most this much more after SIGKILL.
const int GRACE_STEPS = GRACE_SECONDS * 100;
const int KILL_STEPS = 500;

pthread_t mainThread;

// SIGALRM: the grace after SIGTERM is over.
void handleGraceOver(int) {
    int savedErrno = errno;
    if (caughtStopSignal) signalChildGroups(SIGKILL);
    errno = savedErrno;
}

void handleCrash(int signo) {
    stopProgressFromSignal();
    removeWorkspaceNow(options.verbose);
    signal(signo, SIG_DFL);
    raise(signo);
}

// Reaps the group's members that are pakrev's children; true when the group
// has no member left.
bool groupGone(pid_t group) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    return kill(-group, 0) != 0 && errno == ESRCH;
}

bool waitForGroup(pid_t group, int steps) {
    const struct timespec step = {0, 10 * 1000 * 1000};
    for (int i = 0; i < steps; ++i) {
        if (groupGone(group)) return true;
        nanosleep(&step, nullptr);
    }
    return groupGone(group);
}

}  // namespace

bool signalChildGroups(int signo) {
    bool any = false;
    for (std::atomic<int>& slot : childGroups) {
        int group = slot.load();
        if (group == 0) continue;
        any = true;
        if (group > 0) kill(-group, signo);
    }
    return any;
}

void stopSignalSet(sigset_t* set) {
    sigemptyset(set);
    for (int s : STOP_SIGNALS) sigaddset(set, s);
    sigaddset(set, SIGALRM);
}

void handleSignal(int signo) {
    int savedErrno = errno;
    if (!pthread_equal(pthread_self(), mainThread)) {
        // Only the main thread starts and waits for children.
        pthread_kill(mainThread, signo);
        errno = savedErrno;
        return;
    }
    if (caughtStopSignal) {
        errno = savedErrno;
        return;
    }
    caughtStopSignal = signo;
    // The progress line is erased and drawn no more.
    stopProgressFromSignal();
    if (signalChildGroups(SIGTERM) || activeWorkCount > 0) {
        // The waiting code ends the run once the children are gone: the
        // child runner for its own child, the main thread for work that
        // runs beside it.
        alarm(GRACE_SECONDS);
        errno = savedErrno;
        return;
    }
    writeText(STDERR_FILENO, "error: Caught signal\n");
    removeWorkspaceNow(options.verbose);
    _exit(1);
}

void installSignalHandlers() {
    mainThread = pthread_self();
    // Orphans of a child (members of a pipeline whose shell died) become
    // pakrev's own children, so stopping a group can reap them all.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    // Interrupted system calls go on: the handler never needs to wake the
    // main flow, it stops the child instead, and the wait then returns.
    action.sa_flags = SA_RESTART;
    sigset_t blocked;
    stopSignalSet(&blocked);
    action.sa_mask = blocked;
    action.sa_handler = handleSignal;
    for (int s : STOP_SIGNALS) sigaction(s, &action, nullptr);
    action.sa_handler = handleGraceOver;
    sigaction(SIGALRM, &action, nullptr);
    action.sa_handler = handleCrash;
    action.sa_flags = 0;
    sigaction(SIGSEGV, &action, nullptr);
}

void stopProcessGroup(pid_t group) {
    kill(-group, SIGTERM);
    if (waitForGroup(group, GRACE_STEPS)) return;
    kill(-group, SIGKILL);
    waitForGroup(group, KILL_STEPS);
}

void writeText(int fd, const char* text) {
    size_t length = strlen(text);
    while (length > 0) {
        ssize_t wrote = write(fd, text, length);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;
        text += wrote;
        length -= static_cast<size_t>(wrote);
    }
}
