// Stop signals sent to a running make or apply, at several moments, to
// pakrev alone or to its whole process group: the run ends with status 1
// and "Caught signal", none of its children is left, the workspace is gone
// and nothing is placed under a final name.
//
// pakrev runs as a process group of its own, started by fork and exec from
// here, and every case has a hard deadline after which the whole run is
// killed and the case fails: no case can hang the suite.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scenario.h"
#include "private_path.h"
#include "test_support.h"

namespace {

using testsupport::binDir;
using testsupport::exists;
using testsupport::listDir;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::runShell;
using testsupport::ScratchDir;
using testsupport::writeFile;

// Size of the tar in each package: big enough that the children (unpack,
// delta, recompression) run long enough to be caught while they run.
const size_t TAR_BYTES = 6u << 20;

// Every case is over, one way or another, within this time.
const std::chrono::seconds CASE_DEADLINE(60);

// ---- Data -----------------------------------------------------------------

// Text of `n` bytes from a vocabulary of pseudo-words: compresses about 3:1.
std::string wordText(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::string> words(4000);
    for (std::string& w : words) {
        size_t length = 2 + gen() % 9;
        for (size_t i = 0; i < length; ++i) w += static_cast<char>('a' + gen() % 26);
    }
    std::string text;
    text.reserve(n + 16);
    while (text.size() < n) {
        text += words[gen() % words.size()];
        text += (gen() % 12 == 0) ? '\n' : ' ';
    }
    text.resize(n);
    return text;
}

// One ustar member header.
std::string tarHeader(const std::string& name, size_t size) {
    std::string h(512, '\0');
    auto put = [&](size_t at, const std::string& s) { h.replace(at, s.size(), s); };
    auto octal = [](uint64_t v, int digits) {
        char buf[32];
        snprintf(buf, sizeof buf, "%0*llo", digits, static_cast<unsigned long long>(v));
        return std::string(buf);
    };
    put(0, name);
    put(100, octal(0644, 7));
    put(108, octal(0, 7));
    put(116, octal(0, 7));
    put(124, octal(size, 11));
    put(136, octal(1700000000, 11));
    put(148, "        ");
    h[156] = '0';
    put(257, "ustar");
    put(263, "00");
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    put(148, octal(sum, 6));
    h[154] = '\0';
    h[155] = ' ';
    return h;
}

// A tar of one text file; release 2 rewrites a stretch and moves a block.
void writeReleaseTar(const std::string& path, int release) {
    std::string text = wordText(TAR_BYTES - 3 * 512, 11);
    if (release == 2) {
        text.replace(text.size() / 3, 4000, wordText(5000, 12));
        size_t cut = text.size() / 2;
        text = text.substr(cut, 200000) + text.substr(0, cut) + text.substr(cut + 200000);
        text.resize(TAR_BYTES - 3 * 512);
    }
    std::string tar = tarHeader("pkg-1." + std::to_string(release) + "/data.txt", text.size());
    tar += text;
    tar.append((512 - tar.size() % 512) % 512, '\0');
    tar.append(1024, '\0');
    writeFile(path, tar);
}

// ---- Watching a run -------------------------------------------------------

struct ProcInfo {
    pid_t pid;
    pid_t ppid;
    pid_t group;
    std::string comm;
    bool zombie;  // ended, not yet reaped
};

bool readProc(pid_t pid, ProcInfo& info) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return false;
    info.pid = pid;
    info.comm = stat.substr(open + 1, close - open - 1);
    char state;
    int ppid, group;
    if (sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &group) != 3) return false;
    info.zombie = state == 'Z';
    info.ppid = ppid;
    info.group = group;
    return true;
}

// The children of every thread of the process (a thread lists the children
// it forked).
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::string own = tasks + "/" + std::to_string(pid) + "/children";
    if (access(own.c_str(), R_OK) == 0) {
        DIR* threads = opendir(tasks.c_str());
        while (threads) {
            struct dirent* e = readdir(threads);
            if (!e) break;
            if (e->d_name[0] == '.') continue;
            std::string list = readFile(tasks + "/" + e->d_name + "/children");
            const char* at = list.c_str();
            char* end;
            for (long v = strtol(at, &end, 10); end != at; v = strtol(at, &end, 10)) {
                children.push_back(static_cast<pid_t>(v));
                at = end;
            }
        }
        if (threads) closedir(threads);
        return children;
    }
    // Without the children lists: every process's parent.
    DIR* proc = opendir("/proc");
    if (!proc) return children;
    while (struct dirent* e = readdir(proc)) {
        pid_t p = static_cast<pid_t>(atol(e->d_name));
        ProcInfo info;
        if (p > 0 && readProc(p, info) && info.ppid == pid) children.push_back(p);
    }
    closedir(proc);
    return children;
}

// The processes below pakrev, and every process group they were seen in.
struct Watch {
    pid_t run;
    std::set<pid_t> groups;
    std::set<std::string> seen;  // names of all children seen so far

    // The live processes below the run now (named "pakrev" while forked
    // and not yet running their program).
    std::vector<ProcInfo> poll() {
        std::vector<ProcInfo> live;
        std::vector<pid_t> todo = childrenOf(run);
        while (!todo.empty()) {
            pid_t p = todo.back();
            todo.pop_back();
            ProcInfo info;
            if (!readProc(p, info)) continue;
            // (A process that is just ending may show no group.)
            if (info.group > 1) groups.insert(info.group);
            if (info.zombie) continue;
            live.push_back(info);
            seen.insert(info.comm);
            for (pid_t c : childrenOf(p)) todo.push_back(c);
        }
        return live;
    }
};

// True when the process group has no member left. Members that ended and
// came to this program to be reaped (it reaps orphans, see createWorkspace)
// are reaped here; a live member fails the check at once.
bool groupGone(pid_t group) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    return kill(-group, 0) != 0 && errno == ESRCH;
}

// The members of a process group, for a failure message.
std::string membersOf(pid_t group) {
    std::string members;
    DIR* proc = opendir("/proc");
    if (!proc) return members;
    while (struct dirent* e = readdir(proc)) {
        pid_t p = static_cast<pid_t>(atol(e->d_name));
        ProcInfo info;
        if (p > 0 && readProc(p, info) && info.group == group)
            members += " " + std::to_string(p) + " " + info.comm + (info.zombie ? " (zombie)" : "") +
                       " parent " + std::to_string(info.ppid) + ";";
    }
    closedir(proc);
    return members;
}

// ---- The cases -------------------------------------------------------------

// MAKE_GZ_SLOW_DELTA: as MAKE_GZ with an xdelta that waits two seconds
// first (a fake on the search path), so the delta surely runs beside the
// compression search.
enum class Job { MAKE_GZ, MAKE_GZ_SLOW_DELTA, MAKE_J_BZ2, APPLY_GZ };
enum class Moment {
    START,        // as soon as the workspace exists
    WHILE_CHILD,  // while a child of the given name runs
    NO_CHILD,     // once the given child was seen and no child runs
    WHILE_TWO,    // while two children of the given name run at once (or the
                  // given child beside the "after" one)
};

struct Case {
    const char* name;
    Job job;
    Moment moment;
    const char* child;  // the child the moment is about
    const char* after;  // a child seen before or beside it first (or "")
    int signo;
    bool toGroup;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case CASES[] = {
    {"make_TERM_at_start", Job::MAKE_GZ, Moment::START, "", "", SIGTERM, false},
    {"make_INT_during_unpack", Job::MAKE_GZ, Moment::WHILE_CHILD, "gzip", "", SIGINT, false},
    {"make_TERM_group_during_delta", Job::MAKE_GZ, Moment::WHILE_CHILD, "xdelta", "", SIGTERM, true},
    {"make_INT_during_delta", Job::MAKE_GZ, Moment::WHILE_CHILD, "xdelta", "", SIGINT, false},
    // Between the unpacking and the delta pakrev takes the digests itself.
    {"make_HUP_after_unpack", Job::MAKE_GZ, Moment::NO_CHILD, "gzip", "", SIGHUP, false},
    // "cat | gzip": a compression (the unpacking runs gzip alone).
    {"make_QUIT_group_during_level_search", Job::MAKE_GZ, Moment::WHILE_CHILD, "gzip", "cat",
     SIGQUIT, true},
    {"make_j_INT_group_at_start", Job::MAKE_J_BZ2, Moment::START, "", "", SIGINT, true},
    {"make_j_TERM_during_segdiff", Job::MAKE_J_BZ2, Moment::WHILE_CHILD, "segdiff", "", SIGTERM,
     false},
    {"make_j_INT_group_during_unpack", Job::MAKE_J_BZ2, Moment::WHILE_CHILD, "bunzip2", "",
     SIGINT, true},
    {"make_j_HUP_group_after_unpack", Job::MAKE_J_BZ2, Moment::NO_CHILD, "bunzip2", "", SIGHUP,
     true},
    // Both unpackings at once, each in a thread of its own.
    {"make_TERM_during_both_unpacks", Job::MAKE_GZ, Moment::WHILE_TWO, "gzip", "", SIGTERM, false},
    {"make_j_INT_group_during_both_unpacks", Job::MAKE_J_BZ2, Moment::WHILE_TWO, "bunzip2", "",
     SIGINT, true},
    // The main delta beside the gzip level search.
    {"make_INT_during_delta_and_search", Job::MAKE_GZ_SLOW_DELTA, Moment::WHILE_TWO, "cat",
     "xdelta", SIGINT, false},
    {"apply_TERM_at_start", Job::APPLY_GZ, Moment::START, "", "", SIGTERM, false},
    // The old package is unpacked beside the reading of the patch.
    {"apply_INT_during_unpack", Job::APPLY_GZ, Moment::WHILE_CHILD, "gzip", "", SIGINT, false},
    {"apply_INT_during_delta", Job::APPLY_GZ, Moment::WHILE_CHILD, "xdelta", "", SIGINT, false},
    {"apply_TERM_group_during_recompression", Job::APPLY_GZ, Moment::WHILE_CHILD, "gzip", "cat",
     SIGTERM, true},
    {"apply_INT_during_recompression", Job::APPLY_GZ, Moment::WHILE_CHILD, "gzip", "cat", SIGINT,
     false},
    {"apply_QUIT_after_delta", Job::APPLY_GZ, Moment::NO_CHILD, "xdelta", "", SIGQUIT, false},
};

pid_t startPakrev(const std::vector<std::string>& args, const std::string& outDir,
                  const std::string& tmpdir, const std::string& firstOnPath = "");

// Waits for the run until the deadline; past it, kills the run's group and
// returns false.
bool waitUntil(pid_t run, std::chrono::steady_clock::time_point deadline, int& status) {
    const struct timespec step = {0, 5 * 1000 * 1000};
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(run, &status, WNOHANG) == run) return true;
        nanosleep(&step, nullptr);
    }
    kill(-run, SIGKILL);
    waitpid(run, &status, 0);
    return false;
}

class SignalTest : public ::testing::TestWithParam<Case> {
protected:
    // The packages and the patch to apply, made once for all cases.
    static void SetUpTestSuite() {
        data = new ScratchDir;
        const std::string& d = data->path();
        writeReleaseTar(*data / "pkg-1.1.tar", 1);
        writeReleaseTar(*data / "pkg-1.2.tar", 2);
        RunResult packed = runShell(
            "for r in 1 2; do timeout 300 gzip -9 -n -c pkg-1.$r.tar > pkg-1.$r.tar.gz && "
            "timeout 300 bzip2 -9 -c pkg-1.$r.tar > pkg-1.$r.tar.bz2 || exit 1; done; rm pkg-1.?.tar",
            d);
        ASSERT_EQ(packed.status, 0) << packed.err;
        ScratchDir tmp;
        pid_t make = startPakrev({"-m", "pkg-1.1.tar.gz", "pkg-1.2.tar.gz", "gz.prv"}, d, tmp.path());
        ASSERT_GT(make, 0);
        int status = 0;
        ASSERT_TRUE(waitUntil(make, std::chrono::steady_clock::now() + std::chrono::seconds(300),
                              status))
            << "the make for the apply cases did not end";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(*data / ".stderr");
    }
    static void TearDownTestSuite() {
        delete data;
        data = nullptr;
    }

    static ScratchDir* data;
};

ScratchDir* SignalTest::data = nullptr;

// Arguments of the job, and the final name it must not leave behind.
void jobOf(Job job, const std::string& dataDir, const std::string& outDir,
           std::vector<std::string>& args, std::string& finalName) {
    switch (job) {
        case Job::MAKE_GZ:
        case Job::MAKE_GZ_SLOW_DELTA:
            args = {"-m", "-D", dataDir, "-d", dataDir, "pkg-1.1.tar.gz", "pkg-1.2.tar.gz",
                    outDir + "/out.prv"};
            finalName = outDir + "/out.prv";
            break;
        case Job::MAKE_J_BZ2:
            args = {"-mj", "-D", dataDir, "-d", dataDir, "pkg-1.1.tar.bz2", "pkg-1.2.tar.bz2",
                    outDir + "/out.prv"};
            finalName = outDir + "/out.prv";
            break;
        case Job::APPLY_GZ:
            args = {"-p", "-D", dataDir, dataDir + "/gz.prv"};
            finalName = outDir + "/pkg-1.2.tar.gz";
            break;
    }
}

// Starts pakrev in a process group of its own, in outDir, with TMPDIR set.
pid_t startPakrev(const std::vector<std::string>& args, const std::string& outDir,
                  const std::string& tmpdir, const std::string& firstOnPath) {
    std::string program = binDir() + "/pakrev";
    std::string path = (firstOnPath.empty() ? "" : firstOnPath + ":") + binDir() + ":" +
                       (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    std::string out = outDir + "/.stdout", err = outDir + "/.stderr";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0 || chdir(outDir.c_str()) != 0) _exit(120);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        setenv("PATH", path.c_str(), 1);
        // The test program's own handlers and mask are not the run's.
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGSEGV}) signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(program.c_str(), argv.data());
        _exit(121);
    }
    if (pid > 0) setpgid(pid, pid);
    return pid;
}

bool contains(const std::vector<ProcInfo>& live, const std::string& name) {
    for (const ProcInfo& p : live)
        if (p.comm == name) return true;
    return false;
}

// A run whose moment never came (it went by between two looks) is made
// again, this many times at most.
const int ATTEMPTS = 3;

TEST_P(SignalTest, StopsTheRunAndLeavesNothing) {
    const Case& c = GetParam();
    ASSERT_NE(data, nullptr);
    ASSERT_TRUE(exists(*data / "gz.prv"));
    for (int attempt = 1; attempt <= ATTEMPTS; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        ScratchDir out, tmp;
        std::vector<std::string> args;
        std::string finalName;
        jobOf(c.job, data->path(), out.path(), args, finalName);

        const auto deadline = std::chrono::steady_clock::now() + CASE_DEADLINE;
        std::string slow;
        if (c.job == Job::MAKE_GZ_SLOW_DELTA) {
            slow = out / "slow";
            std::string real = testsupport::findOnPath("xdelta", getenv("PATH") ? getenv("PATH") : "");
            ASSERT_FALSE(real.empty());
            runShell("mkdir -p " + shellQuote(slow));
            testsupport::writeScript(slow + "/xdelta", "sleep 2\nexec " + real + " \"$@\"\n");
        }
        pid_t run = startPakrev(args, out.path(), tmp.path(), slow);
        ASSERT_GT(run, 0);
        Watch watch{run, {}, {}};
        const struct timespec step = {0, 1000 * 1000};
        int status = 0;
        bool ended = false, signalled = false, missed = false;
        bool afterSeen = c.after[0] == '\0';
        std::set<pid_t> childGroups;  // the groups the moment's child ran in

        while (!ended && !missed) {
            if (std::chrono::steady_clock::now() > deadline) break;
            if (waitpid(run, &status, WNOHANG) == run) {
                ended = true;
                break;
            }
            std::vector<ProcInfo> now = watch.poll();
            if (signalled) {
                nanosleep(&step, nullptr);
                continue;
            }
            if (!afterSeen && contains(now, c.after)) afterSeen = true;
            bool fire = false;
            switch (c.moment) {
                case Moment::START:
                    fire = !listDir(tmp.path()).empty();
                    break;
                case Moment::WHILE_CHILD:
                    fire = afterSeen && contains(now, c.child);
                    break;
                case Moment::WHILE_TWO:
                    if (c.after[0] != '\0')
                        fire = contains(now, c.child) && contains(now, c.after);
                    else
                        fire = std::count_if(now.begin(), now.end(), [&](const ProcInfo& p) {
                                   return p.comm == c.child;
                               }) >= 2;
                    break;
                case Moment::NO_CHILD:
                    // After the child, before the program of another
                    // command starts.
                    for (const ProcInfo& p : now) {
                        if (p.comm == c.child) childGroups.insert(p.group);
                    }
                    if (childGroups.empty() || contains(now, c.child)) break;
                    fire = now.empty();
                    for (const ProcInfo& p : now) {
                        if (p.group != run && !childGroups.count(p.group) && p.comm != "sh")
                            missed = true;
                    }
                    break;
            }
            if (fire) {
                kill(c.toGroup ? -run : run, c.signo);
                signalled = true;
                continue;
            }
            nanosleep(&step, nullptr);
        }
        if (!ended) {
            for (pid_t g : watch.groups) kill(-g, SIGKILL);
            bool gone = waitUntil(run, std::chrono::steady_clock::now(), status);
            (void)gone;
            if (!missed) FAIL() << "the run did not end within " << CASE_DEADLINE.count() << " s";
        }

        std::string err = readFile(out / ".stderr");
        std::string seen;
        for (const std::string& n : watch.seen) seen += " " + n;
        if (!signalled) {
            if (attempt < ATTEMPTS) continue;
            FAIL() << "the moment never came; children seen:" << seen << "\nstderr: " << err;
        }
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 1) << err;
        EXPECT_NE(err.find("error: Caught signal\n"), std::string::npos) << err;
        for (pid_t g : watch.groups) {
            if (g == run) continue;  // pakrev's own group, which it leads
            EXPECT_TRUE(groupGone(g)) << "process group " << g << " still has members:"
                                      << membersOf(g);
        }
        EXPECT_EQ(kill(-run, 0), -1) << "pakrev's group still has members";
        EXPECT_EQ(listDir(tmp.path()), std::vector<std::string>{}) << "workspace left behind";
        EXPECT_FALSE(exists(finalName)) << finalName;
        scenario::expectNoPartialFiles(out.path());
        return;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SignalTest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
