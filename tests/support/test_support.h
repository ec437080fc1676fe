// Helpers shared by the unit and scenario tests.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// Directory of the freshly built pakrev and segdiff.
std::string binDir();
// Root of the source tree (for bundled example data).
std::string sourceDir();

// A fresh directory that is removed when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return dir; }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

struct RunResult {
    int status = -1;       // exit status, or 128 + signal when killed
    bool signaled = false;
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs a shell command line in cwd (empty: current directory) and captures
// its standard output and standard error.
RunResult runShell(const std::string& commandLine, const std::string& cwd = "");

// Runs the built pakrev with the given arguments (already shell-quoted) in
// cwd, with binDir() first on PATH. extraEnv holds further NAME=value words
// for env(1); a PATH=... among them replaces the search path.
RunResult runPakrev(const std::string& args, const std::string& cwd,
                    const std::string& extraEnv = "");

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Lists the names in a directory (without . and ..), sorted.
std::vector<std::string> listDir(const std::string& path);

// Writes an executable shell script.
void writeScript(const std::string& path, const std::string& body);

// Writes a bzip2 look-alike script: `-h` prints the help text of `release`
// (banner line "bzip2, a block-sorting file compressor.  Version <release>,
// <date>.", date of the real release where known) on standard error; any
// other call runs the shell command `otherwise`, which sees the arguments as
// "$@" (by default the real /bin/bzip2 does the work).
void writeFakeBzip2(const std::string& path, const std::string& release,
                    const std::string& otherwise = "exec /bin/bzip2 \"$@\"");

// Deterministic pseudo-random bytes.
std::string randomBytes(size_t n, unsigned seed);
// Text-like data that compresses like source code.
std::string sourceLikeText(size_t n, unsigned seed);

}  // namespace testsupport
