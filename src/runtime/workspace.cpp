// The private temporary workspace: one directory per run, a registry of the
// names handed out in it, and its removal at exit or on a trapped signal.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "driver/options.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

// These are constructed before main runs, so they are destroyed only after
// the exit-time cleanup (registered later, with atexit) has used them.
std::string workspaceDir;
std::list<std::string> tempRegistry;
char tempCounter[8] = "/000000";
bool counterExhausted = false;
volatile sig_atomic_t signalCleanupStarted = 0;
volatile sig_atomic_t cleanupDone = 0;

const int TRAPPED_SIGNALS[] = {SIGINT, SIGSEGV, SIGTERM, SIGQUIT};

void cleanupAtExit() {
    // A trapped signal that arrives now waits until the cleanup is over; by
    // then there is nothing left to clean, and it only ends the process.
    sigset_t block, previous;
    sigemptyset(&block);
    for (int s : TRAPPED_SIGNALS) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &previous);
    cleanupWorkspace();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

void createWorkspace() {
    const char* tmpdir = getenv("TMPDIR");
    std::string base = tmpdir ? tmpdir : "/tmp";
    std::string templ = base + "/.XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) errorExit("cannot create temporary directory");
    workspaceDir = buffer.data();
    atexit(cleanupAtExit);
    for (int s : TRAPPED_SIGNALS) signal(s, handleSignal);
}

const std::string& workspacePath() { return workspaceDir; }

std::string newTempName() {
    if (counterExhausted) errorExit("too many temporary files");
    std::string name = workspaceDir + tempCounter;
    tempRegistry.push_back(name);
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
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    int fd = mkstemp(buffer.data());
    if (fd < 0) return "";
    // mkstemp makes the file private; a finished package or patch gets the
    // permissions a newly created file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    tempRegistry.push_back(buffer.data());
    return buffer.data();
}

bool commitSiblingTempFile(const std::string& tempPath, const std::string& finalPath) {
    if (rename(tempPath.c_str(), finalPath.c_str()) != 0) return false;
    tempRegistry.remove(tempPath);
    return true;
}

void removeTempFile(const std::string& path) {
    removeFile(path);
    tempRegistry.remove(path);
}

void cleanupWorkspace() {
    if (cleanupDone) return;
    cleanupDone = 1;
    verbose("cleaning up\n");
    if (options.verbose) fflush(stdout);
    while (!tempRegistry.empty()) {
        std::string front = tempRegistry.front();
        removeTempFile(front);
    }
    if (!workspaceDir.empty()) rmdir(workspaceDir.c_str());
}

void handleSignal(int signo) {
    if (signalCleanupStarted) return;
    signalCleanupStarted = 1;
    stopProgressFromSignal();
    cleanupWorkspace();
    signal(signo, SIG_DFL);
    raise(signo);
}
