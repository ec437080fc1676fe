// Measuring a step from outside: read positions of descriptors in /proc,
// sizes of output files.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "progress/progress.h"

namespace {

// Processes looked at below the root: a pipeline of a few programs.
constexpr size_t MAX_PROCESSES = 64;

// Appends the children of every thread of `pid`.
void addChildren(pid_t pid, std::vector<pid_t>& out) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return;
    while (dirent* task = readdir(dir)) {
        if (task->d_name[0] == '.') continue;
        std::string path = tasks + "/" + task->d_name + "/children";
        FILE* f = fopen(path.c_str(), "r");
        if (!f) continue;
        long child;
        while (out.size() < MAX_PROCESSES && fscanf(f, "%ld", &child) == 1)
            out.push_back(static_cast<pid_t>(child));
        fclose(f);
    }
    closedir(dir);
}

uint64_t fdPosition(const std::string& fdinfoPath) {
    FILE* f = fopen(fdinfoPath.c_str(), "r");
    if (!f) return 0;
    char line[128];
    uint64_t pos = 0;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "pos:", 4) == 0) {
            pos = strtoull(line + 4, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return pos;
}

bool mapsLineIsFile(const char* line, dev_t device, ino_t inode) {
    unsigned major = 0, minor = 0;
    unsigned long long node = 0;
    return sscanf(line, "%*x-%*x %*s %*x %x:%x %llu", &major, &minor, &node) == 3 &&
           node == static_cast<unsigned long long>(inode) && makedev(major, minor) == device;
}

// True when the process maps the file (its maps file is cheap to read,
// unlike smaps).
bool mapsFile(const std::string& base, dev_t device, ino_t inode) {
    FILE* f = fopen((base + "/maps").c_str(), "r");
    if (!f) return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) found = mapsLineIsFile(line, device, inode);
    fclose(f);
    return found;
}

// Resident bytes of the mappings of the file in one process's smaps: the
// pages a program that maps its input has touched.
uint64_t mappedBytes(const std::string& base, dev_t device, ino_t inode) {
    if (!mapsFile(base, device, inode)) return 0;
    FILE* f = fopen((base + "/smaps").c_str(), "r");
    if (!f) return 0;
    char line[512];
    bool current = false;
    uint64_t total = 0;
    while (fgets(line, sizeof line, f)) {
        unsigned long long node = 0;
        if (sscanf(line, "%*x-%*x %*s %*x %*x:%*x %llu", &node) == 1) {
            current = mapsLineIsFile(line, device, inode);
        } else if (current && strncmp(line, "Rss:", 4) == 0) {
            total += strtoull(line + 4, nullptr, 10) * 1024;
        }
    }
    fclose(f);
    return total;
}

}  // namespace

ProgressSource readingOf(const std::string& path, uint64_t limit) {
    ProgressSource source;
    source.kind = ProgressSource::READING;
    source.paths = {path};
    source.limit = limit;
    return source;
}

ProgressSource readingOf(const std::vector<std::string>& paths) {
    ProgressSource source;
    source.kind = ProgressSource::READING;
    source.paths = paths;
    return source;
}

ProgressSource writingOf(const std::string& path, uint64_t estimatedTotal) {
    ProgressSource source;
    source.kind = ProgressSource::FILE_SIZE;
    source.paths = {path};
    source.limit = estimatedTotal;
    return source;
}

uint64_t bytesReadOf(pid_t root, dev_t device, ino_t inode) {
    std::vector<pid_t> processes{root};
    for (size_t i = 0; i < processes.size() && processes.size() < MAX_PROCESSES; ++i)
        addChildren(processes[i], processes);
    uint64_t best = 0;
    for (pid_t pid : processes) {
        std::string base = "/proc/" + std::to_string(pid);
        DIR* dir = opendir((base + "/fd").c_str());
        if (!dir) continue;
        while (dirent* fd = readdir(dir)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st;
            if (stat((base + "/fd/" + fd->d_name).c_str(), &st) != 0) continue;
            if (st.st_dev != device || st.st_ino != inode) continue;
            uint64_t pos = fdPosition(base + "/fdinfo/" + fd->d_name);
            if (pos > best) best = pos;
        }
        closedir(dir);
        uint64_t mapped = mappedBytes(base, device, inode);
        if (mapped > best) best = mapped;
    }
    return best;
}
