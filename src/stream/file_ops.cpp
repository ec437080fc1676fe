// Whole-file operations: existence, size, the bzip2 block-size digit.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream/stream.h"

bool fileExists(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

int64_t fileSize64(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    int64_t size = -1;
    if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<int64_t>(ftello(f));
    fclose(f);
    return size;
}

uint32_t fileSize(const std::string& path) {
    int64_t size = fileSize64(path);
    return size < 0 ? 0 : static_cast<uint32_t>(size);
}

int bzip2LevelDigit(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    unsigned char head[4];
    size_t got = fread(head, 1, 4, f);
    fclose(f);
    if (got < 4) return -1;
    return static_cast<signed char>(head[3]) - '0';
}

std::string writeFailureReason(const std::string& directory) {
    std::string templ = (directory.empty() ? std::string(".") : directory) + "/.pakrev-probe.XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return strerror(errno);
    std::vector<char> block(64 * 1024, 0);
    int error = 0;
    size_t done = 0;
    while (done < block.size()) {
        ssize_t put = ::write(fd, block.data() + done, block.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        done += static_cast<size_t>(put);
    }
    if (error == 0 && fsync(fd) != 0 && errno != EINVAL) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    unlink(name.data());
    return error ? strerror(error) : "";
}
