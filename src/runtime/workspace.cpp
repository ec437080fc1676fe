// The private temporary workspace: one directory per run, the names handed
// out in it, the registry of sibling files beside final names, and their
// removal at exit or on a trapped signal.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/options.h"
#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace {

// Constructed before main runs, so destroyed only after the exit-time
// cleanup (registered later, with atexit). The cleanup itself reads only the
// plain buffers below, which the signal handler may read at any moment.
std::string workspaceDir;
char tempCounter[8] = "/000000";
bool counterExhausted = false;

// The workspace path for the cleanup, with room for the paths of nested
// directories, and a handle to the workspace kept open from the start so
// that the cleanup needs no new descriptor for it.
char cleanupPath[PATH_MAX + 1];
size_t cleanupPathLength = 0;
int workspaceHandle = -1;

// Sibling files: a slot is read by the cleanup only while `used` is set, and
// `used` is set only after the path is complete.
const int SIBLING_SLOTS = 64;
struct SiblingSlot {
    char path[PATH_MAX + 1];
    volatile sig_atomic_t used;
};
SiblingSlot siblings[SIBLING_SLOTS];

volatile sig_atomic_t cleanupDone = 0;

void releaseSlot(const std::string& path) {
    for (SiblingSlot& slot : siblings) {
        if (slot.used && path == slot.path) slot.used = 0;
    }
}

void cleanupAtExit() {
    // A stop signal that arrives now waits until the cleanup is over; by
    // then there is nothing left to clean, and it only ends the process.
    sigset_t block, previous;
    stopSignalSet(&block);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    cleanupWorkspace();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

void createWorkspace() {
    const char* tmpdir = getenv("TMPDIR");
    std::string base = tmpdir ? tmpdir : "/tmp";
    std::string templ = base + "/.XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    // A stop signal that comes while the workspace is being set up waits
    // until its removal is in place.
    sigset_t block, previous;
    stopSignalSet(&block);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    installSignalHandlers();
    if (templ.size() > PATH_MAX || mkdtemp(buffer.data()) == nullptr)
        errorExit("cannot create temporary directory");
    workspaceDir = buffer.data();
    memcpy(cleanupPath, workspaceDir.c_str(), workspaceDir.size() + 1);
    cleanupPathLength = workspaceDir.size();
    workspaceHandle = open(cleanupPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    atexit(cleanupAtExit);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

const std::string& workspacePath() { return workspaceDir; }

std::string newTempName() {
    if (counterExhausted) errorExit("too many temporary files");
    std::string name = workspaceDir + tempCounter;
    int digit = 6;
    while (digit >= 1 && tempCounter[digit] == '9') {
        tempCounter[digit] = '0';
        --digit;
    }
    if (digit == 0)
        counterExhausted = true;  // "/999999" was the last name
    else
        ++tempCounter[digit];
    return name;
}

std::string newSiblingTempFile(const std::string& finalPath) {
    size_t slash = finalPath.rfind('/');
    std::string directory = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    std::string templ = directory + ".pakrev-" + base + ".XXXXXX";
    if (templ.size() > PATH_MAX) return "";
    SiblingSlot* slot = nullptr;
    for (SiblingSlot& s : siblings) {
        if (!s.used) {
            slot = &s;
            break;
        }
    }
    if (!slot) errorExit("too many temporary files");
    memcpy(slot->path, templ.c_str(), templ.size() + 1);
    // The stop signals wait while the file is made and registered, so an
    // interrupted run never leaves one behind unregistered.
    sigset_t block, previous;
    stopSignalSet(&block);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    int fd = mkstemp(slot->path);
    if (fd >= 0) slot->used = 1;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) return "";
    // mkstemp makes the file private; a finished package or patch gets the
    // permissions a newly created file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    return slot->path;
}

bool commitSiblingTempFile(const std::string& tempPath, const std::string& finalPath) {
    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) return false;
    releaseSlot(tempPath);
    return true;
}

void removeTempFile(const std::string& path) {
    removeFile(path);
    releaseSlot(path);
}

void removeWorkspaceNow(bool announce) {
    if (cleanupDone) return;
    cleanupDone = 1;
    if (announce) writeText(STDOUT_FILENO, "cleaning up\n");
    for (SiblingSlot& slot : siblings) {
        if (!slot.used) continue;
        unlink(slot.path);
        slot.used = 0;
    }
    if (cleanupPathLength == 0) return;
    int handle = workspaceHandle;
    workspaceHandle = -1;
    removeTree(cleanupPath, cleanupPathLength, sizeof cleanupPath, handle);
}

void cleanupWorkspace() {
    if (cleanupDone) return;
    // What the run printed comes before the announcement.
    fflush(stdout);
    removeWorkspaceNow(options.verbose);
}
