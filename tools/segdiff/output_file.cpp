// The delta file: written under a temporary name, renamed into place when
// complete, removed on any failure or trapped signal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "segdiff.h"

namespace segdiff {

namespace {

// Name of the unfinished delta, kept in a plain buffer so that the signal
// handler can remove it. Empty when there is nothing to remove.
char unfinishedPath[4096];

void removeUnfinished() {
    if (unfinishedPath[0] != '\0') {
        unlink(unfinishedPath);
        unfinishedPath[0] = '\0';
    }
}

void onSignal(int signo) {
    removeUnfinished();
    signal(signo, SIG_DFL);
    raise(signo);
}

std::string describeErrno() { return std::strerror(errno); }

}  // namespace

void fail(const std::string& message) {
    removeUnfinished();
    std::fprintf(stderr, "segdiff: %s\n", message.c_str());
    std::exit(1);
}

void openOutput(OutputFile& out, const std::string& finalPath) {
    out.finalPath = finalPath;
    struct stat st;
    if (stat(finalPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        fail("cannot write " + finalPath + ": Is a directory");
    std::string pattern = finalPath + ".segdiff-XXXXXX";
    if (pattern.size() >= sizeof(unfinishedPath)) fail("cannot write " + finalPath + ": name too long");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) fail("cannot write " + finalPath + ": " + describeErrno());
    out.fd = fd;
    out.tempPath = name.data();
    std::memcpy(unfinishedPath, name.data(), name.size());
    // A signal that we were started with ignored (nohup, a background job)
    // stays ignored.
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        if (signal(signo, onSignal) == SIG_IGN) signal(signo, SIG_IGN);

    // mkstemp makes the file private; a delta gets the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) fail("cannot write " + finalPath + ": " + describeErrno());
}

void writeAt(const OutputFile& out, uint64_t offset, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = pwrite(out.fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("cannot write " + out.finalPath + ": " + describeErrno());
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
}

void readAt(const OutputFile& out, uint64_t offset, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = pread(out.fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail("cannot read back " + out.tempPath + ": " + (n == 0 ? "short file" : describeErrno()));
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
}

void commitOutput(OutputFile& out) {
    int fd = out.fd;
    out.fd = -1;
    if (close(fd) != 0) fail("cannot write " + out.finalPath + ": " + describeErrno());
    if (rename(out.tempPath.c_str(), out.finalPath.c_str()) != 0)
        fail("cannot write " + out.finalPath + ": " + describeErrno());
    unfinishedPath[0] = '\0';
}

}  // namespace segdiff
