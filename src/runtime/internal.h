// Pieces shared by the runtime files only: the state that the signal
// handlers and the child runner share, and the async-signal-safe removal.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers read these");

// The process groups of the running children (their shells' pids), one slot
// per child: 0 free, -1 taken by a child being started, else its group. A
// slot is taken and given back by the thread that runs the child, with the
// stop signals blocked in that thread.
constexpr size_t CHILD_SLOT_COUNT = 16;
extern std::atomic<int> childGroups[CHILD_SLOT_COUNT];

// Pieces of work running beside the main thread (tasks.cpp).
extern std::atomic<int> activeWorkCount;

// The first stop signal pakrev caught, 0 when none.
extern std::atomic<int> caughtStopSignal;

// Sends the signal to every running child's group; true when a slot was
// taken (also by a child still being started). Async-signal-safe.
bool signalChildGroups(int signo);

// For the child runner, on the thread that starts the child: true when no
// child may start now (a stop signal was caught, or the work of this thread
// is being stopped). noteChildGroup tells the work of this thread which
// group its child has (0 when it is over); it returns true when the work
// was asked to stop meanwhile.
bool childStartRefused();
bool noteChildGroup(pid_t group);

// Installs the handlers for SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM and
// SIGSEGV and makes pakrev the reaper of its children's orphans. Called by
// createWorkspace from the main thread.
void installSignalHandlers();

// Fills set with the signals blocked around a child's start and end.
void stopSignalSet(sigset_t* set);

// The signals whose handlers a child resets to the default before exec.
extern const int HANDLED_SIGNALS[];
extern const size_t HANDLED_SIGNAL_COUNT;

// Stops the process group: SIGTERM, then SIGKILL when members remain after
// a short grace; reaps the members that are pakrev's children meanwhile.
// Returns when the group is gone or after a bound of a few seconds.
void stopProcessGroup(pid_t group);

// Removes the registered sibling files and the workspace: the async-signal-
// safe core of cleanupWorkspace (no allocation, no stdio). Once only; later
// calls do nothing. With announce, writes "cleaning up\n" to standard output
// first (write(2), no stdio).
void removeWorkspaceNow(bool announce);

// Removes the directory tree at path (NUL-terminated, `length` characters, in
// a buffer of `capacity` bytes that the walk uses to build the paths of
// nested directories) with only async-signal-safe calls, holding at most one
// directory handle at a time. handle: an open descriptor of the directory to
// use first (closed by the call), or -1. Symbolic links are removed, never
// followed. True when the tree is gone.
bool removeTree(char* path, size_t length, size_t capacity, int handle);

// Writes the NUL-terminated text to fd with write(2) alone, retrying after
// interruptions and short writes; gives up silently on an error. Safe in a
// signal handler.
void writeText(int fd, const char* text);
