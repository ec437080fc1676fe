// A private PATH for tests that run programs found on the search path: the
// given directories first, then a directory of links to the ordinary system
// tools, so that no compressor of the machine is seen unless linked in.
// PrivatePath sets it for this process; PrivateSearchPath only builds it,
// for a child's environment.
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

// The value of a private PATH: the given directories first, then a scratch
// directory of links to the named system tools (found on the PATH in force
// when the object is made; a tool not found there is left out). The links
// go away with the object. Use value() as the PATH of a child process, e.g.
// "PATH=" + shellQuote(p.value()) among runPakrev's environment words.
class PrivateSearchPath {
public:
    explicit PrivateSearchPath(const std::vector<std::string>& dirs,
                               const std::vector<std::string>& tools = systemToolNames()) {
        const char* current = getenv("PATH");
        std::string searchPath = current ? current : "";
        std::string toolDir = scratch / "tools";
        mkdir(toolDir.c_str(), 0755);
        for (const std::string& name : tools) {
            std::string target = findOnPath(name, searchPath);
            if (!target.empty() && symlink(target.c_str(), (toolDir + "/" + name).c_str()) != 0)
                throw std::runtime_error("cannot link " + name);
        }
        for (const std::string& dir : dirs) path += dir + ":";
        path += toolDir;
    }
    PrivateSearchPath(const PrivateSearchPath&) = delete;
    PrivateSearchPath& operator=(const PrivateSearchPath&) = delete;
    const std::string& value() const { return path; }

private:
    ScratchDir scratch;
    std::string path;
};

// PATH of this process becomes a PrivateSearchPath of dirs and tools; the
// previous PATH comes back when the object goes away.
class PrivatePath {
public:
    explicit PrivatePath(const std::vector<std::string>& dirs,
                         const std::vector<std::string>& tools = systemToolNames())
        : hadPath(getenv("PATH") != nullptr),
          savedPath(hadPath ? getenv("PATH") : ""),
          search(dirs, tools) {
        setenv("PATH", search.value().c_str(), 1);
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
    bool hadPath;
    std::string savedPath;
    PrivateSearchPath search;
};

}  // namespace testsupport
