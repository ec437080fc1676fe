// The workspace: where it is made, how names are numbered, and that every
// way out of a run removes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "driver/driver.h"
#include "runtime/runtime.h"
#include "test_support.h"

namespace {

using testsupport::exists;
using testsupport::listDir;
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;
using testsupport::writeScript;

const char* const WORKSPACE_NAME = "\\.[A-Za-z0-9]{6}";

// Sets TMPDIR for the lifetime of the object (nullptr: unset) and restores it.
class TmpdirOverride {
public:
    explicit TmpdirOverride(const char* value) {
        const char* old = getenv("TMPDIR");
        hadOld = old != nullptr;
        if (old) saved = old;
        if (value)
            setenv("TMPDIR", value, 1);
        else
            unsetenv("TMPDIR");
    }
    ~TmpdirOverride() {
        if (hadOld)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    bool hadOld = false;
    std::string saved;
};

// Number of a workspace name: its last six digits.
long nameNumber(const std::string& name) { return std::stol(name.substr(name.size() - 6)); }

TEST(Workspace, IsAPrivateDirectoryDirectlyUnderTmpdir) {
    const char* tmpdir = getenv("TMPDIR");
    std::string base = tmpdir ? tmpdir : "/tmp";
    const std::string& ws = workspacePath();
    ASSERT_EQ(ws.size(), base.size() + 8) << ws;
    EXPECT_EQ(ws.substr(0, base.size() + 2), base + "/.");
    struct stat st;
    ASSERT_EQ(stat(ws.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Workspace, NamesAreNeverReused) {
    std::string first = newTempName();
    writeFile(first, "x");
    removeTempFile(first);
    EXPECT_FALSE(exists(first));
    std::string second = newTempName();
    EXPECT_EQ(nameNumber(second), nameNumber(first) + 1);
    EXPECT_EQ(second.substr(0, workspacePath().size() + 1), workspacePath() + "/");
}

// Death-test children are fresh runs of this program: main() makes their
// workspace under the TMPDIR they inherit. So these tests point TMPDIR at a
// scratch directory before a child starts and look into it afterwards. The
// child reruns the test body too; everything it needs it finds next to its
// own workspace (base()).
class WorkspaceDeathTest : public ::testing::Test {
protected:
    WorkspaceDeathTest() : tmpdir(scratch.path().c_str()) {}

    // In the child: the directory its workspace was made in.
    static std::string base() {
        const std::string& ws = workspacePath();
        return ws.substr(0, ws.rfind('/'));
    }
    // In the child: tells the parent where the workspace was.
    static void recordWorkspace() { writeFile(base() + "/workspace", workspacePath()); }
    // In the child: hands out a name and creates the file.
    static std::string makeTempFile() {
        std::string name = newTempName();
        writeFile(name, "temporary");
        return name;
    }
    // In the child: standard output joins standard error, where the death
    // test sees it, and the exit-time cleanup announces itself there.
    static void announceCleanup() {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        options.verbose = true;
    }

    // In the parent: the workspace the child recorded.
    std::string childWorkspace() {
        std::string ws = readFile(scratch / "workspace");
        EXPECT_EQ(ws.size(), scratch.path().size() + 8) << ws;
        EXPECT_EQ(ws.substr(0, scratch.path().size() + 2), scratch.path() + "/.");
        return ws;
    }

    ScratchDir scratch;
    TmpdirOverride tmpdir;
};

TEST(WorkspaceLocationDeathTest, DefaultsToTmp) {
    TmpdirOverride unset(nullptr);
    EXPECT_EXIT(
        {
            fputs(workspacePath().c_str(), stderr);
            exit(0);
        },
        ::testing::ExitedWithCode(0), std::string("^/tmp/") + WORKSPACE_NAME + "$");
}

TEST_F(WorkspaceDeathTest, TrailingSlashOfTmpdirIsKept) {
    TmpdirOverride slash((scratch.path() + "/").c_str());
    EXPECT_EXIT(
        {
            fputs(workspacePath().c_str(), stderr);
            exit(0);
        },
        ::testing::ExitedWithCode(0), "^" + scratch.path() + "//" + WORKSPACE_NAME + "$");
}

TEST_F(WorkspaceDeathTest, NamesCountUpFromZeroWithCarry) {
    EXPECT_EXIT(
        {
            const std::string& ws = workspacePath();
            for (int i = 0; i <= 1000; ++i) {
                std::string name = newTempName();
                if (name.compare(0, ws.size(), ws) != 0) fputs("outside the workspace\n", stderr);
                if (i <= 2 || i == 9 || i == 10 || i == 999 || i == 1000)
                    fprintf(stderr, "%s\n", name.substr(ws.size()).c_str());
            }
            _exit(0);  // no files were made; this skips a thousand "rm -f" runs
        },
        ::testing::ExitedWithCode(0),
        "^/000000\n/000001\n/000002\n/000009\n/000010\n/000999\n/001000\n$");
}

struct Ending {
    const char* name;
    std::function<void()> end;
    std::function<bool(int)> status;
    std::string output;  // regular expression for standard output and error together
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

void dropCore() {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

std::function<void()> raising(int signo) {
    return [signo] {
        dropCore();
        raise(signo);
    };
}

using ::testing::ExitedWithCode;
using ::testing::KilledBySignal;

const Ending ENDINGS[] = {
    {"exit", [] { exit(0); }, ExitedWithCode(0), "^cleaning up\n$"},
    {"errorExit", [] { errorExit("stop here"); }, ExitedWithCode(1),
     "^error: stop here\ncleaning up\n$"},
    {"SIGINT_while_idle", raising(SIGINT), KilledBySignal(SIGINT), "^cleaning up\n$"},
    {"SIGTERM_while_idle", raising(SIGTERM), KilledBySignal(SIGTERM), "^cleaning up\n$"},
    {"SIGQUIT_while_idle", raising(SIGQUIT), KilledBySignal(SIGQUIT), "^cleaning up\n$"},
    {"SIGSEGV_while_idle", raising(SIGSEGV), KilledBySignal(SIGSEGV), "^cleaning up\n$"},
    {"SIGTERM_while_a_command_runs", [] { runCommand("kill", "-TERM $PPID"); },
     KilledBySignal(SIGTERM), "^cleaning up\n$"},
    {"command_killed_by_SIGINT", [] { runCommand("kill", "-INT $$"); }, ExitedWithCode(1),
     "^error: Caught signal\ncleaning up\n$"},
    {"command_killed_by_SIGQUIT", [] { runCommand("kill", "-QUIT $$"); }, ExitedWithCode(1),
     "^error: Caught signal\ncleaning up\n$"},
    {"missing_program", [] { runCommand("pakrev-no-such-program", "x"); }, ExitedWithCode(1),
     "error: A required executable, pakrev-no-such-program, was not found\ncleaning up\n$"},
};

class WorkspaceEndingDeathTest : public WorkspaceDeathTest,
                                 public ::testing::WithParamInterface<Ending> {};

// Every ending of a run removes the registered files and the workspace, and
// the cleanup runs exactly once.
TEST_P(WorkspaceEndingDeathTest, RemovesTheWorkspace) {
    const Ending& e = GetParam();
    EXPECT_EXIT(
        {
            announceCleanup();
            recordWorkspace();
            makeTempFile();
            makeTempFile();
            e.end();
            _exit(99);
        },
        e.status, e.output);
    EXPECT_FALSE(exists(childWorkspace()));
}

INSTANTIATE_TEST_SUITE_P(Endings, WorkspaceEndingDeathTest, ::testing::ValuesIn(ENDINGS),
                         [](const ::testing::TestParamInfo<Ending>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(WorkspaceDeathTest, UnregisteredFilesKeepTheDirectory) {
    writeFile(scratch / "outside", "not in the workspace");
    EXPECT_EXIT(
        {
            recordWorkspace();
            makeTempFile();
            std::string second = makeTempFile();
            makeTempFile();
            // Once removed, a name is no longer registered: the file made
            // again under it is not the cleanup's to remove.
            removeTempFile(second);
            writeFile(second, "made again");
            writeFile(workspacePath() + "/foreign", "never handed out");
            // Paths that were never registered are removed all the same.
            removeTempFile(base() + "/outside");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::string ws = childWorkspace();
    EXPECT_EQ(listDir(ws), (std::vector<std::string>{"000001", "foreign"}));
    EXPECT_FALSE(exists(scratch / "outside"));
}

// A trapped signal that arrives while the exit-time cleanup runs waits until
// the cleanup has removed everything; then it ends the process.
TEST_F(WorkspaceDeathTest, SignalDuringExitCleanupIsHeldOff) {
    ASSERT_EQ(mkdir((scratch / "bin").c_str(), 0755), 0);
    // An rm that logs its operand and sends SIGTERM to the run before removing.
    writeScript(scratch / "bin/rm",
                "printf '%s\\n' \"$2\" >> \"$(dirname \"$0\")/../rm.log\"\n"
                "kill -TERM \"$PAKREV_TEST_PID\"\n"
                "exec /bin/rm \"$@\"\n");
    EXPECT_EXIT(
        {
            announceCleanup();
            recordWorkspace();
            for (int i = 0; i < 3; ++i) makeTempFile();
            setenv("PATH", (base() + "/bin:" + getenv("PATH")).c_str(), 1);
            setenv("PAKREV_TEST_PID", std::to_string(getpid()).c_str(), 1);
            exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "^cleaning up\n$");
    std::string ws = childWorkspace();
    EXPECT_FALSE(exists(ws));
    EXPECT_EQ(readFile(scratch / "rm.log"), ws + "/000000\n" + ws + "/000001\n" + ws + "/000002\n");
}

TEST_F(WorkspaceDeathTest, RefusesNamesPastTheMillionth) {
    EXPECT_EXIT(
        {
            // Registered last, this exit handler runs first: it skips the
            // million "rm -f" runs of the cleanup (no file was made) and
            // keeps errorExit's status.
            atexit([] {
                rmdir(workspacePath().c_str());
                _exit(1);
            });
            std::string last;
            for (int i = 0; i < 1000000; ++i) last = newTempName();
            fprintf(stderr, "%s\n", last.substr(workspacePath().size()).c_str());
            newTempName();
            _exit(99);
        },
        ::testing::ExitedWithCode(1), "^/999999\nerror: too many temporary files\n$");
}

}  // namespace
