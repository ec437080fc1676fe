// File operations done in process: removing, moving (rename, or a copy
// across file systems) and copying files.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/runtime.h"

namespace {

bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t wrote = write(fd, data, length);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            if (wrote == 0) errno = ENOSPC;
            return false;
        }
        data += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

// Copies every byte from one open file to another.
bool copyBytes(int from, int to) {
    // Copies may run at the same time on several threads.
    std::vector<char> space(1 << 16);
    char* buffer = space.data();
    for (;;) {
        ssize_t got = read(from, buffer, space.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!writeAll(to, buffer, static_cast<size_t>(got))) return false;
    }
}

// Closes fd; false (errno kept from the first failure) when ok was false or
// the close failed, which is where a delayed write error shows.
bool closeChecked(int fd, bool ok) {
    int savedErrno = errno;
    bool closed = close(fd) == 0;
    if (!ok) errno = savedErrno;
    return ok && closed;
}

// Copies source to destination, created with `mode` (less the umask) when
// new, truncated when it exists.
bool copyFile(const std::string& source, const std::string& destination, mode_t mode,
              bool openDestinationFirst) {
    int to = -1;
    if (openDestinationFirst) {
        to = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (to < 0) return false;
    }
    int from = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        if (to >= 0) closeChecked(to, false);
        return false;
    }
    if (to < 0) {
        to = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        if (to < 0) {
            closeChecked(from, false);
            return false;
        }
    }
    bool ok = copyBytes(from, to);
    close(from);
    return closeChecked(to, ok);
}

}  // namespace

void removeFile(const std::string& path) { unlink(path.c_str()); }

int moveFile(const std::string& source, const std::string& destination) {
    if (rename(source.c_str(), destination.c_str()) == 0) return 0;
    if (errno != EXDEV) return 1;
    struct stat st;
    if (stat(source.c_str(), &st) != 0) return 1;
    if (!copyFile(source, destination, st.st_mode & 07777, false)) {
        int savedErrno = errno;
        unlink(destination.c_str());
        errno = savedErrno;
        return 1;
    }
    return unlink(source.c_str()) == 0 ? 0 : 1;
}

int catToFile(const std::string& source, const std::string& destination) {
    return copyFile(source, destination, 0666, true) ? 0 : 1;
}
