// Removal of a directory tree with async-signal-safe calls only (open,
// getdents64, unlinkat, rmdir, close) and at most one directory handle open
// at a time, so it serves the signal handler and a run out of descriptors.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "runtime/internal.h"

namespace {

// A tree that keeps being refilled is given up after this many passes.
const long MAX_STEPS = 1L << 20;
const int MAX_FRUITLESS = 8;

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// One pass over the open directory: unlinks what can be unlinked. Copies the
// name of the first subdirectory met into subdir (empty when none; the pass
// stops there). Sets removedAny when something went.
void unlinkPass(int handle, char* subdir, size_t subdirCapacity, bool& removedAny) {
    alignas(8) char buffer[4096];
    subdir[0] = '\0';
    for (;;) {
        ssize_t got = getdents64(handle, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (isDotOrDotDot(name)) continue;
            if (entry->d_type != DT_DIR && unlinkat(handle, name, 0) == 0) {
                removedAny = true;
                continue;
            }
            if (entry->d_type == DT_DIR || errno == EISDIR || errno == EPERM) {
                size_t length = strlen(name);
                if (length + 1 > subdirCapacity) continue;
                memcpy(subdir, name, length + 1);
                return;
            }
        }
    }
}

}  // namespace

bool removeTree(char* path, size_t length, size_t capacity, int handle) {
    // The walk keeps its place in path itself: it descends by appending a
    // name and climbs back by cutting the last one, so it needs neither a
    // stack of handles nor recursion.
    const size_t base = length;
    int fruitless = 0;  // passes in a row over one directory that removed nothing
    for (long step = 0; step < MAX_STEPS; ++step) {
        if (handle < 0) handle = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (handle < 0) {
            // Gone already, or not a directory (a link to one): remove the
            // name itself.
            if (errno != ENOENT && unlink(path) != 0 && errno != ENOENT) return false;
        } else {
            lseek(handle, 0, SEEK_SET);
            char subdir[256];
            bool removedAny = false;
            unlinkPass(handle, subdir, sizeof subdir, removedAny);
            close(handle);
            handle = -1;
            if (subdir[0] != '\0') {
                size_t nameLength = strlen(subdir);
                if (length + 1 + nameLength + 1 > capacity) return false;
                path[length] = '/';
                memcpy(path + length + 1, subdir, nameLength + 1);
                length += 1 + nameLength;
                fruitless = 0;
                continue;
            }
            if (rmdir(path) != 0 && errno != ENOENT) {
                // Refilled meanwhile: another pass, unless passes keep
                // finding only what cannot be removed.
                fruitless = removedAny ? 0 : fruitless + 1;
                if ((errno == ENOTEMPTY || errno == EEXIST) && fruitless < MAX_FRUITLESS) continue;
                while (length > base) path[--length] = '\0';
                return false;
            }
        }
        fruitless = 0;
        if (length == base) return true;
        while (length > base && path[length] != '/') path[length--] = '\0';
        path[length] = '\0';
    }
    while (length > base) path[--length] = '\0';
    return false;
}
