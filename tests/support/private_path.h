// A private PATH for tests that run programs found on the search path: the
// given directories first, then a directory of links to the ordinary system
// tools, so that no compressor of the machine is seen unless linked in.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace testsupport {

// Tools that the code under test and the fake programs may need.
inline const std::vector<std::string>& systemToolNames() {
    static const std::vector<std::string> names = {"sh",     "find", "tr",  "grep", "cat", "rm",
                                                   "mv",     "cmp",  "head", "sed", "xdelta",
                                                   "gunzip", "bunzip2"};
    return names;
}

// The first executable of that name on the search path, or "".
inline std::string findOnPath(const std::string& name, const std::string& searchPath) {
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string::npos) end = searchPath.size();
        std::string dir = searchPath.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

class PrivatePath {
public:
    // PATH becomes dirs..., then the tool links; the previous PATH comes back
    // when the object goes away.
    explicit PrivatePath(const std::vector<std::string>& dirs) {
        const char* old = getenv("PATH");
        hadPath = old != nullptr;
        savedPath = old ? old : "";
        std::string tools = scratch / "tools";
        mkdir(tools.c_str(), 0755);
        for (const std::string& name : systemToolNames()) {
            std::string target = findOnPath(name, savedPath);
            if (!target.empty() && symlink(target.c_str(), (tools + "/" + name).c_str()) != 0)
                throw std::runtime_error("cannot link " + name);
        }
        std::string path;
        for (const std::string& dir : dirs) path += dir + ":";
        setenv("PATH", (path + tools).c_str(), 1);
    }
    ~PrivatePath() {
        if (hadPath)
            setenv("PATH", savedPath.c_str(), 1);
        else
            unsetenv("PATH");
    }
    PrivatePath(const PrivatePath&) = delete;
    PrivatePath& operator=(const PrivatePath&) = delete;

private:
    ScratchDir scratch;
    bool hadPath = false;
    std::string savedPath;
};

}  // namespace testsupport
