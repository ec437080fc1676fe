// Inputs are mapped whole and read in place.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "segdiff.h"

namespace segdiff {

void mapInput(InputFile& in, const std::string& path) {
    in.path = path;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("cannot read " + path + ": " + std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) fail("cannot read " + path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) fail("cannot read " + path + ": Is a directory");
    if (!S_ISREG(st.st_mode)) fail("cannot read " + path + ": not a regular file");
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > MAX_INPUT_SIZE)
        fail(path + " is too large (" + std::to_string(size) +
             " bytes): segdiff handles files smaller than 4 GiB");
    in.size = size;
    if (size > 0) {
        void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) fail("cannot read " + path + ": " + std::strerror(errno));
        in.data = static_cast<const uint8_t*>(p);
    }
    close(fd);
}

void unmapInput(InputFile& in) {
    if (in.data) munmap(const_cast<uint8_t*>(in.data), in.size);
    in.data = nullptr;
    in.size = 0;
}

void releaseRange(const InputFile& in, uint64_t begin, uint64_t end) {
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    begin = (begin + page - 1) / page * page;
    end = end / page * page;
    if (!in.data || end <= begin) return;
    madvise(const_cast<uint8_t*>(in.data) + begin, end - begin, MADV_DONTNEED);
}

}  // namespace segdiff
