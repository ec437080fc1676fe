// The workspace: where it is made, how names are numbered, and that every
// way out of a run removes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

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
    // In the child: a tree of directories and files in the workspace that
    // no name was handed out for, with a link to a directory outside that
    // must not be followed.
    static void makeNestedTree() {
        std::string dir = workspacePath() + "/tree";
        for (int depth = 0; depth < 3; ++depth) {
            mkdir(dir.c_str(), 0700);
            for (int i = 0; i < 3; ++i) writeFile(dir + "/f" + std::to_string(i), "data");
            mkdir((dir + "/empty").c_str(), 0700);
            dir += "/d";
        }
        mkdir((base() + "/keep").c_str(), 0700);
        writeFile(base() + "/keep/file", "not the run's");
        if (symlink((base() + "/keep").c_str(), (workspacePath() + "/tree/link").c_str()) != 0)
            fputs("symlink failed\n", stderr);
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

const char CAUGHT[] = "^error: Caught signal\ncleaning up\n$";

const Ending ENDINGS[] = {
    {"exit", [] { exit(0); }, ExitedWithCode(0), "^cleaning up\n$"},
    {"errorExit", [] { errorExit("stop here"); }, ExitedWithCode(1),
     "^error: stop here\ncleaning up\n$"},
    {"SIGINT_while_idle", raising(SIGINT), ExitedWithCode(1), CAUGHT},
    {"SIGTERM_while_idle", raising(SIGTERM), ExitedWithCode(1), CAUGHT},
    {"SIGHUP_while_idle", raising(SIGHUP), ExitedWithCode(1), CAUGHT},
    {"SIGQUIT_while_idle", raising(SIGQUIT), ExitedWithCode(1), CAUGHT},
    {"SIGSEGV_while_idle", raising(SIGSEGV), KilledBySignal(SIGSEGV), "^cleaning up\n$"},
    // Sent to pakrev alone, while its child runs: the child is stopped and
    // the run ends.
    {"SIGTERM_while_a_command_runs", [] { runCommand("kill", "-TERM $PPID; sleep 30"); },
     ExitedWithCode(1), CAUGHT},
    {"SIGINT_while_a_command_runs", [] { runCommand("kill", "-INT $PPID; sleep 30"); },
     ExitedWithCode(1), CAUGHT},
    // Sent to pakrev's whole group (the child runs in a group of its own).
    {"SIGHUP_to_the_group_while_a_command_runs",
     [] {
         setpgid(0, 0);
         runCommand("kill", "-HUP -$PPID; sleep 30");
     },
     ExitedWithCode(1), CAUGHT},
    {"SIGQUIT_while_output_is_read",
     [] {
         readCommandOutput("echo some; kill -QUIT $PPID; sleep 30; echo more",
                           [](const unsigned char*, size_t) { return true; });
     },
     ExitedWithCode(1), CAUGHT},
    {"command_killed_by_SIGINT", [] { runCommand("kill", "-INT $$"); }, ExitedWithCode(1),
     "^error: Caught signal\ncleaning up\n$"},
    {"command_killed_by_SIGQUIT", [] { runCommand("kill", "-QUIT $$"); }, ExitedWithCode(1),
     "^error: Caught signal\ncleaning up\n$"},
    {"missing_program", [] { runCommand("pakrev-no-such-program", "x"); }, ExitedWithCode(1),
     "error: A required executable, pakrev-no-such-program, was not found\ncleaning up\n$"},
    // The cleanup needs no new process and no new descriptor for the
    // workspace.
    {"exit_with_every_descriptor_in_use",
     [] {
         struct rlimit few = {64, 64};
         setrlimit(RLIMIT_NOFILE, &few);
         std::vector<int> taken;
         taken.reserve(64);
         for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
         cleanupWorkspace();
         // What runs after the cleanup at exit (the sanitizers' checks among
         // it) may need descriptors again.
         for (int fd : taken) close(fd);
         exit(0);
     },
     ExitedWithCode(0), "^cleaning up\n$"},
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
            makeNestedTree();
            e.end();
            _exit(99);
        },
        e.status, e.output);
    EXPECT_FALSE(exists(childWorkspace()));
    EXPECT_EQ(readFile(scratch / "keep/file"), "not the run's");
}

INSTANTIATE_TEST_SUITE_P(Endings, WorkspaceEndingDeathTest, ::testing::ValuesIn(ENDINGS),
                         [](const ::testing::TestParamInfo<Ending>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(WorkspaceDeathTest, EverythingInTheWorkspaceGoes) {
    writeFile(scratch / "outside", "not in the workspace");
    EXPECT_EXIT(
        {
            recordWorkspace();
            makeTempFile();
            std::string second = makeTempFile();
            makeTempFile();
            removeTempFile(second);
            EXPECT_FALSE(exists(second));
            // Made again under a removed name, or under no name at all: the
            // workspace is the run's own, and all of it goes.
            writeFile(second, "made again");
            writeFile(workspacePath() + "/foreign", "never handed out");
            // Paths outside the workspace are removed when asked for.
            removeTempFile(base() + "/outside");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(exists(childWorkspace()));
    EXPECT_FALSE(exists(scratch / "outside"));
}

// Sibling files beside final names: removed on every ending unless placed.
TEST_F(WorkspaceDeathTest, SiblingFilesGoUnlessCommitted) {
    for (bool signalled : {false, true}) {
        SCOPED_TRACE(signalled ? "signal" : "exit");
        EXPECT_EXIT(
            {
                std::string placed = newSiblingTempFile(base() + "/placed");
                std::string left = newSiblingTempFile(base() + "/left");
                std::string removed = newSiblingTempFile(base() + "/removed");
                if (placed.empty() || left.empty() || removed.empty()) _exit(98);
                writeFile(placed, "finished");
                if (!commitSiblingTempFile(placed, base() + "/placed")) _exit(97);
                removeTempFile(removed);
                if (signalled) raise(SIGTERM);
                exit(0);
            },
            ExitedWithCode(signalled ? 1 : 0), signalled ? "Caught signal" : "^$");
        // (The child's own copy of the fixture made a scratch directory here.)
        std::vector<std::string> left;
        for (const std::string& name : listDir(scratch.path()))
            if (name.compare(0, 12, "pakrev-test-") != 0) left.push_back(name);
        EXPECT_EQ(left, std::vector<std::string>{"placed"});
        EXPECT_EQ(readFile(scratch / "placed"), "finished");
        unlink((scratch / "placed").c_str());
    }
}

// A stop signal that arrives while the exit-time cleanup runs waits until
// the cleanup has removed everything; then it ends the run with status 1.
TEST_F(WorkspaceDeathTest, SignalDuringExitCleanupIsHeldOff) {
    EXPECT_EXIT(
        {
            announceCleanup();
            recordWorkspace();
            for (int i = 0; i < 3; ++i) makeTempFile();
            makeNestedTree();
            // Standard output: a full pipe, so the cleanup's announcement
            // blocks until a helper drains it.
            int fds[2];
            if (pipe(fds) != 0) _exit(98);
            fcntl(fds[1], F_SETPIPE_SZ, 4096);
            fcntl(fds[1], F_SETFL, O_NONBLOCK);
            while (write(fds[1], "........", 8) > 0) {
            }
            fcntl(fds[1], F_SETFL, 0);
            dup2(fds[1], STDOUT_FILENO);
            close(fds[1]);
            pid_t run = getpid();
            if (fork() == 0) {
                // Once the run sleeps (blocked in the announcement, stop
                // signals held), signal it, then let the cleanup go on.
                close(STDOUT_FILENO);
                int devNull = open("/dev/null", O_WRONLY);
                dup2(devNull, STDERR_FILENO);
                std::string stat = "/proc/" + std::to_string(run) + "/stat";
                for (int i = 0; i < 5000; ++i) {
                    std::string fields = readFile(stat);
                    size_t paren = fields.rfind(')');
                    if (paren != std::string::npos && fields.compare(paren + 2, 1, "S") == 0) break;
                    usleep(1000);
                }
                kill(run, SIGTERM);
                usleep(20000);
                std::string drained;
                char buffer[4096];
                ssize_t got;
                while ((got = read(fds[0], buffer, sizeof buffer)) > 0) drained.append(buffer, got);
                writeFile(base() + "/drained", drained);
                _exit(0);
            }
            close(fds[0]);
            exit(0);
        },
        ::testing::ExitedWithCode(1), "^error: Caught signal\n$");
    std::string ws = childWorkspace();
    EXPECT_FALSE(exists(ws));
    // The helper writes what it drained once the run's end closed the pipe.
    for (int i = 0; i < 500 && !exists(scratch / "drained"); ++i) usleep(10000);
    std::string drained = readFile(scratch / "drained");
    EXPECT_EQ(drained.substr(drained.size() < 12 ? 0 : drained.size() - 12), "cleaning up\n");
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
