#include "test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "runtime/runtime.h"

namespace testsupport {

std::string binDir() { return PAKREV_BIN_DIR; }
std::string sourceDir() { return PAKREV_SOURCE_DIR; }

ScratchDir::ScratchDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pakrev-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir = buf.data();
}

ScratchDir::~ScratchDir() {
    std::string cmd = "chmod -R u+rwx " + shellQuote(dir) + " 2>/dev/null; rm -rf " + shellQuote(dir);
    if (system(cmd.c_str()) != 0) {
        // Nothing to do: a leftover scratch directory only costs disk space.
    }
}

RunResult runShell(const std::string& commandLine, const std::string& cwd) {
    ScratchDir capture;
    std::string out = capture / "out", err = capture / "err";
    std::string line = (cwd.empty() ? "" : "cd " + shellQuote(cwd) + " && ") + "( " + commandLine +
                       " ) > " + shellQuote(out) + " 2> " + shellQuote(err) + " < /dev/null";
    std::string wrapped = "sh -c " + shellQuote(line);
    int status = system(wrapped.c_str());
    RunResult r;
    if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
        // sh reports a child killed by a signal as 128 + signal.
        if (r.status > 128 && r.status < 160) {
            r.signaled = true;
            r.signal = r.status - 128;
        }
    } else if (WIFSIGNALED(status)) {
        r.signaled = true;
        r.signal = WTERMSIG(status);
        r.status = 128 + r.signal;
    }
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
}

RunResult runPakrev(const std::string& args, const std::string& cwd, const std::string& extraEnv) {
    std::string line = "env PATH=" + shellQuote(binDir()) + ":\"$PATH\" " + extraEnv + " " +
                       shellQuote(binDir() + "/pakrev") + " " + args;
    return runShell(line, cwd);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "";
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

void writeFakeBzip2(const std::string& path, const std::string& release,
                    const std::string& otherwise) {
    static const std::pair<const char*, const char*> dates[] = {
        {"1.0.5", "10-Dec-2007"}, {"1.0.6", "6-Sept-2010"}, {"1.0.8", "13-Jul-2019"}};
    std::string date = "1-Jan-2000";
    for (const auto& d : dates)
        if (release == d.first) date = d.second;
    writeScript(path, "case \"$1\" in -h) echo 'bzip2, a block-sorting file compressor.  Version " +
                          release + ", " + date + ".' >&2\n"
                          "  echo '   usage: bzip2 [flags and input files in any order]' >&2;;\n"
                          "*) " + otherwise + ";;\nesac\n");
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string sourceLikeText(size_t n, unsigned seed) {
    static const char* words[] = {"int", "return", "static", "void", "if", "else", "for",
                                  "while", "struct", "const", "char", "size", "buffer",
                                  "count", "(", ")", "{", "}", ";", "=", "+", "->", "\n",
                                  "\n    ", "0", "1", "NULL", "length", "data", "file"};
    std::mt19937 gen(seed);
    std::string s;
    s.reserve(n + 16);
    while (s.size() < n) {
        s += words[gen() % (sizeof(words) / sizeof(words[0]))];
        s += ' ';
    }
    s.resize(n);
    return s;
}

}  // namespace testsupport
