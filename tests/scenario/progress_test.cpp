// The live progress line, seen on a pseudo-terminal: a make and an apply of
// a package of several MB draw it, and what is left on the screen, with -q
// on the terminal and with standard error sent to a file, is exactly the
// program's ordinary output.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "private_path.h"
#include "scenario.h"

namespace {

using testsupport::readFile;
using testsupport::ScratchDir;

struct PtyRun {
    int status = -1;
    bool timedOut = false;
    std::string output;  // everything the terminal received
};

// Runs the built pakrev on a fresh pseudo-terminal (stdin, stdout and
// stderr) in cwd with the given environment words. Killed after two
// minutes.
PtyRun runOnTerminal(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& env) {
    PtyRun run;
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = 100;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) return run;
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        for (const std::string& word : env) putenv(const_cast<char*>(word.c_str()));
        std::string program = testsupport::binDir() + "/pakrev";
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the program and its children are gone
        run.output.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// What stays on the screen: "\r" goes to the start of the line, "ESC [ K"
// clears from the cursor to the end of the line, "\n" ends a line.
std::string screenText(const std::string& raw) {
    std::string screen, line;
    size_t cursor = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\r') {
            cursor = 0;
        } else if (c == '\n') {
            screen += line + "\n";
            line.clear();
            cursor = 0;
        } else if (c == '\x1b' && raw.compare(i, 3, "\x1b[K") == 0) {
            line.resize(cursor);
            i += 2;
        } else {
            if (cursor < line.size())
                line[cursor] = c;
            else
                line += c;
            ++cursor;
        }
    }
    return screen + line;
}

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// The progress line was drawn: a rewrite that shows a percentage of a step.
void expectProgressLines(const std::string& raw, const std::string& step) {
    EXPECT_NE(raw.find("\x1b[K"), std::string::npos);
    size_t at = raw.find("\r" + step);
    if (at == std::string::npos) at = raw.find(": " + step);
    ASSERT_NE(at, std::string::npos) << "no line for " << step;
    size_t end = raw.find("\x1b[K", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(raw.substr(at, end - at).find('%'), std::string::npos) << raw.substr(at, end - at);
}

class ProgressTest : public scenario::ScenarioTest {
protected:
    void SetUp() override {
        // A GNU gzip that waits a second before each compression, so that
        // every compression is a step long enough to be drawn.
        testsupport::writeScript(fakes / "gzip",
                                 "case \"$1\" in -[1-9]) " + realSleep + " 1;; esac\nexec " +
                                     realGzip + " \"$@\"\n");
        env = {"PATH=" + search.value(), "TMPDIR=" + tmp.path()};
        envWords = "PATH=" + shellQuote(search.value());
    }

    // The ordinary run: both streams captured by pipes.
    testsupport::RunResult captured(const std::string& args, const std::string& cwd) {
        return pakrev(args, cwd, envWords);
    }
    PtyRun onTerminal(const std::vector<std::string>& args, const std::string& cwd) {
        PtyRun r = runOnTerminal(args, cwd, env);
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(testsupport::listDir(tmp.path()).empty()) << "workspace left behind";
        return r;
    }

    ScratchDir fakes, work;
    std::string systemPath = getenv("PATH") ? getenv("PATH") : "";
    std::string realGzip = testsupport::findOnPath("gzip", systemPath);
    std::string realSleep = testsupport::findOnPath("sleep", systemPath);
    testsupport::PrivateSearchPath search{{fakes.path(), testsupport::binDir()}};
    std::vector<std::string> env;
    std::string envWords;
};

TEST_F(ProgressTest, MakeAndApplyDrawTheLineOnlyOnATerminalAndLeaveTheirOutputAsIs) {
    ASSERT_FALSE(realGzip.empty());
    ASSERT_FALSE(realSleep.empty());
    const size_t SIZE = 3u << 20;
    std::string oldName = scenario::makePackage(work.path(), 0, "gz9", SIZE);
    std::string newName = scenario::makePackage(work.path(), 1, "gz9", SIZE);

    // Make: captured, on the terminal, on the terminal with -q.
    testsupport::RunResult plain = captured("-m " + oldName + " " + newName + " plain.prv", work.path());
    ASSERT_EQ(plain.status, 0) << plain.err;
    char ratio[80];
    snprintf(ratio, sizeof ratio, "Patch is %f times smaller.\n",
             static_cast<double>(readFile(work / newName).size()) /
                 static_cast<double>(readFile(work / "plain.prv").size()));
    EXPECT_EQ(plain.out, ratio);
    EXPECT_EQ(plain.err, "");
    PtyRun shown = onTerminal({"-m", oldName, newName, "shown.prv"}, work.path());
    PtyRun quiet = onTerminal({"-mq", oldName, newName, "quiet.prv"}, work.path());
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(quiet.status, 0);
    std::string patch = readFile(work / "plain.prv");
    EXPECT_EQ(readFile(work / "shown.prv"), patch);
    EXPECT_EQ(readFile(work / "quiet.prv"), patch);
    expectProgressLines(shown.output, "gzip -9");
    EXPECT_EQ(screenText(shown.output), screenText(withCrLf(plain.out)));
    EXPECT_EQ(quiet.output, withCrLf(plain.out));

    // Apply the patch to the old package in three directories.
    testsupport::RunResult applied;
    std::vector<PtyRun> terminalRuns;
    for (const char* how : {"plain", "shown", "quiet"}) {
        std::string dir = work / how;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        testsupport::runShell("cp " + shellQuote(work / oldName) + " " + shellQuote(work / "plain.prv") +
                              " " + shellQuote(dir));
        if (std::string(how) == "plain")
            applied = captured("-p plain.prv", dir);
        else
            terminalRuns.push_back(onTerminal({std::string(how) == "quiet" ? "-pq" : "-p", "plain.prv"}, dir));
        EXPECT_EQ(readFile(dir + "/" + newName), readFile(work / newName)) << how;
    }
    EXPECT_EQ(applied.status, 0) << applied.err;
    EXPECT_EQ(applied.out, oldName + " -> " + newName + ": OK\n");
    EXPECT_EQ(applied.err, "");
    expectProgressLines(terminalRuns[0].output, "recompressing " + newName);
    EXPECT_EQ(screenText(terminalRuns[0].output), screenText(withCrLf(applied.out)));
    EXPECT_EQ(terminalRuns[1].output, withCrLf(applied.out));
}

}  // namespace
