// The shell command runner: quoting, the command shapes, and which wait
// statuses go back to the caller and which end the run.
#include <gtest/gtest.h>
#include <signal.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "runtime/runtime.h"
#include "test_support.h"

namespace {

using testsupport::exists;
using testsupport::listDir;
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;
using testsupport::writeScript;

TEST(ShellQuote, PlainTextsStayAndTheRestBecomesOneWord) {
    const struct {
        std::string text;
        std::string quoted;
    } cases[] = {
        {"/tmp/.aB3xYz/000017", "/tmp/.aB3xYz/000017"},
        {"pkg-1.2_rc+3,x:y@h%20=z.tar.gz", "pkg-1.2_rc+3,x:y@h%20=z.tar.gz"},
        {"-9", "-9"},
        {"", "''"},
        {"a b", "'a b'"},
        {"it's", "'it'\\''s'"},
        {"'", "''\\'''"},
        {"$(id)`id`;\n\"*?~", "'$(id)`id`;\n\"*?~'"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},
    };
    for (const auto& c : cases) EXPECT_EQ(shellQuote(c.text), c.quoted) << c.text;
}

// Hostile file names reach the programs as single operands: the right file is
// touched and no injected command runs. Runs inside the scratch directory so
// that a stray "touch pwned" would show up there.
class HostileNames : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        previousDir = buf;
        ASSERT_EQ(chdir(scratch.path().c_str()), 0);
        ASSERT_EQ(mkdir((scratch / "my bin").c_str(), 0755), 0);
        // A filter that ignores its -c and copies its operand; a compressor
        // that lists its options and then copies its input.
        writeScript(filter, "cat \"$2\"\n");
        writeScript(compressor, "printf '%s|' \"$@\"; echo; cat\n");
    }
    void TearDown() override { ASSERT_EQ(chdir(previousDir.c_str()), 0); }

    ScratchDir scratch;
    std::string previousDir;
    std::string filter = scratch / "my bin/it's a filter";
    std::string compressor = scratch / "my bin/$(touch pwned)";
};

TEST_F(HostileNames, EveryShapeTouchesOnlyItsOwnFiles) {
    const char* names[] = {"a b",
                           "it's",
                           "\"quoted\"",
                           "$(touch pwned)",
                           "`touch pwned`",
                           "x;touch pwned",
                           "x\ntouch pwned",
                           "x > pwned",
                           "*"};
    for (const char* n : names) {
        SCOPED_TRACE(std::string("name [") + n + "]");
        std::string src = scratch / n;
        std::string data = std::string("data of ") + n;
        writeFile(src, data);

        EXPECT_EQ(catToFile(src, src + ".cat"), 0);
        EXPECT_EQ(readFile(src + ".cat"), data);
        EXPECT_EQ(moveFile(src + ".cat", src + ".mv"), 0);
        EXPECT_FALSE(exists(src + ".cat"));
        EXPECT_EQ(readFile(src + ".mv"), data);
        EXPECT_EQ(filterToFile(filter, src + ".mv", src + ".flt"), 0);
        EXPECT_EQ(readFile(src + ".flt"), data);
        EXPECT_EQ(compressToFile(compressor, '7', src, src + ".z"), 0);
        EXPECT_EQ(readFile(src + ".z"), "-7|\n" + data);

        for (const char* suffix : {"", ".mv", ".flt", ".z"}) {
            removeFile(src + suffix);
            EXPECT_FALSE(exists(src + suffix)) << suffix;
        }
        EXPECT_EQ(listDir(scratch.path()), std::vector<std::string>{"my bin"});
    }
}

TEST_F(HostileNames, LevelCharacterIsOneOption) {
    writeFile(scratch / "src", "payload");
    for (char level : {'0', '9', ';', '\'', ' ', '&', '`', '$', '\n', '|'}) {
        SCOPED_TRACE(std::string("level [") + level + "]");
        EXPECT_EQ(compressToFile(compressor, level, scratch / "src", scratch / "dst"), 0);
        EXPECT_EQ(readFile(scratch / "dst"), std::string("-") + level + "|\npayload");
        EXPECT_EQ(listDir(scratch.path()), (std::vector<std::string>{"dst", "my bin", "src"}));
    }
}

TEST(ShellPath, RelativePathsThatLookLikeOptionsGetADirectory) {
    EXPECT_EQ(shellPath("-rf"), "./-rf");
    EXPECT_EQ(shellPath("-a b"), "'./-a b'");
    EXPECT_EQ(shellPath("dir/-x"), "dir/-x");
    EXPECT_EQ(shellPath("/abs/-x"), "/abs/-x");
    EXPECT_EQ(shellPath("plain"), "plain");
}

TEST(RunCommand, OrdinaryFailuresGoBackToTheCaller) {
    EXPECT_EQ(runCommand("true", ""), 0);
    EXPECT_EQ(runCommand("false", ""), 0x100);
    EXPECT_EQ(runCommand("exit", "3"), 0x300);
    for (int signo : {SIGTERM, SIGKILL, SIGHUP}) {
        int status = runCommand("kill", "-" + std::to_string(signo) + " $$");
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << "status " << status;
    }
}

TEST(RunCommand, RemovingAMissingFileIsQuiet) {
    EXPECT_EXIT(
        {
            removeFile(workspacePath() + "/never there");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST(RunCommandDeathTest, MissingProgramIsNamedAsGiven) {
    // Names in the workspace: a death-test child removes its own at exit.
    const std::string in = newTempName(), out = newTempName();
    writeFile(in, "x");
    const struct {
        std::function<void()> run;
        std::string program;
    } cases[] = {
        {[] { runCommand("pakrev-no-such-program", "-x"); }, "pakrev-no-such-program"},
        {[] { runCommand("no such dir/prog", ""); }, "no such dir/prog"},
        {[] { runCommand("sh", "-c 'exit 127'"); }, "sh"},
        {[&] { filterToFile("pakrev-no-bunzip2", in, out); }, "pakrev-no-bunzip2"},
        // The pipeline ends with the compressor's 127, but the runner was
        // given cat.
        {[&] { compressToFile("pakrev-no-gzip", '9', in, out); }, "cat"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EXIT(c.run(), ::testing::ExitedWithCode(1),
                    "error: A required executable, " + c.program + ", was not found\n$");
    }
}

// A stop signal sent to the run while a pipeline runs ends the whole
// pipeline, also members that ignore SIGTERM and members whose shell has
// already gone, and they are all reaped before the run ends.
class StopSignalDeathTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalDeathTest, StopsTheChildsWholeGroup) {
    // The death-test child is a fresh run of this program with its workspace
    // under the TMPDIR given here; the pids are recorded next to it.
    ScratchDir scratch;
    const char* oldTmpdir = getenv("TMPDIR");
    std::string savedTmpdir = oldTmpdir ? oldTmpdir : "";
    setenv("TMPDIR", scratch.path().c_str(), 1);
    const std::string& ws = workspacePath();
    const std::string record = ws.substr(0, ws.rfind('/')) + "/group";
    // A member that ignores SIGTERM and one left behind in the background;
    // the line then signals the run and waits.
    const std::string line =
        "sh -c 'trap \"\" TERM; echo $$ > " + record + ".stubborn; exec sleep 30' & "
        "sleep 30 & echo $$ > " + record + "; "
        "while [ ! -s " + record + ".stubborn ]; do sleep 0.01; done; "
        "kill -" + std::to_string(GetParam()) + " $PPID; wait";
    EXPECT_EXIT(runShellLine(line), ::testing::ExitedWithCode(1), "^error: Caught signal\n$");
    if (oldTmpdir)
        setenv("TMPDIR", savedTmpdir.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_TRUE(exists(scratch / "group.stubborn"));
    pid_t group = static_cast<pid_t>(atol(readFile(scratch / "group").c_str()));
    pid_t stubborn = static_cast<pid_t>(atol(readFile(scratch / "group.stubborn").c_str()));
    ASSERT_GT(group, 0);
    ASSERT_GT(stubborn, 0);
    EXPECT_EQ(getpgid(stubborn), -1);
    EXPECT_EQ(kill(-group, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalDeathTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

// The file operations that run in process.
TEST(InProcessFiles, CopyMoveAndRemove) {
    ScratchDir scratch;
    const std::string src = scratch / "src";
    writeFile(src, std::string(200000, 'x') + "end");
    chmod(src.c_str(), 0640);

    // cat: the destination is made (or emptied) even when the source is missing.
    EXPECT_EQ(catToFile(src, scratch / "copy"), 0);
    EXPECT_EQ(readFile(scratch / "copy"), readFile(src));
    writeFile(scratch / "old", "old contents");
    EXPECT_NE(catToFile(scratch / "missing", scratch / "old"), 0);
    EXPECT_TRUE(exists(scratch / "old"));
    EXPECT_EQ(readFile(scratch / "old"), "");
    EXPECT_NE(catToFile(src, scratch / "no dir/out"), 0);

    // mv within a file system, replacing the destination.
    EXPECT_EQ(moveFile(scratch / "copy", scratch / "old"), 0);
    EXPECT_FALSE(exists(scratch / "copy"));
    EXPECT_EQ(readFile(scratch / "old"), readFile(src));
    EXPECT_NE(moveFile(scratch / "missing", scratch / "other"), 0);
    EXPECT_FALSE(exists(scratch / "other"));

    // mv across file systems (when /dev/shm is one of its own): a copy with
    // the source's permissions, then the source goes.
    struct stat here, shm;
    if (stat("/dev/shm", &shm) == 0 && stat(scratch.path().c_str(), &here) == 0 &&
        shm.st_dev != here.st_dev && access("/dev/shm", W_OK) == 0) {
        const std::string away = "/dev/shm/pakrev-move-" + std::to_string(getpid());
        EXPECT_EQ(moveFile(src, away), 0);
        EXPECT_FALSE(exists(src));
        struct stat st;
        ASSERT_EQ(stat(away.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(moveFile(away, src), 0);
        EXPECT_FALSE(exists(away));
        EXPECT_EQ(readFile(src), std::string(200000, 'x') + "end");
    }

    removeFile(src);
    removeFile(scratch / "old");
    removeFile(scratch / "missing");
    EXPECT_EQ(listDir(scratch.path()), std::vector<std::string>{});
}

}  // namespace
