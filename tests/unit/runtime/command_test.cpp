// The shell command runner: quoting, the command shapes, and which wait
// statuses go back to the caller and which end the run.
#include <gtest/gtest.h>
#include <signal.h>
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

}  // namespace
