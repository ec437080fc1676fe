// The built pakrev on its command line: usage text, refused command lines,
// and a workspace that is gone after every ending.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace {

using testsupport::listDir;
using testsupport::runPakrev;
using testsupport::ScratchDir;
using testsupport::writeFile;

const std::string USAGE =
    "pakrev version 0.4.4\n"
    "Bad usage.  Try one of:\n"
    "pakrev -m[fvejq] [bg #] [-T #] [-[dD] <repository>] package1 package2 patchfile #make patch\n"
    "pakrev -p[fvirq] [-T #] [-[dD] <repository>] <patchfiles> #apply patches\n"
    "\n"
    "Flags: f = force overwrite output files\n"
    "       v = verbose\n"
    "       q = quiet: no progress line on a terminal\n"
    "       e = ensure md5sum is correct (otherwise checks on patch)\n"
    "       j = use new segdiff algorithm\n"
    "     b,g = compress patch with bzip2 or gzip\n"
    "       i = don't actually do anything.  Just show info\n"
    "       r = if several patches to one source are given, merge\n"
    "           patches so they will apply in one step and don't\n"
    "           create intermediate files\n"
    "       d = new tarball belongs in <repository>\n"
    "       D = old tarball(s) can be found in <repository>\n"
    "       T = use at most # threads (default: the number of cores;\n"
    "           1 = one step at a time)\n"
    "See README in /usr/share/doc/pakrev<ver> for examples and info\n";

// --help: the same text, asked for.
const std::string HELP = "pakrev version 0.4.4\nUsage:\n" + USAGE.substr(USAGE.find("pakrev -m"));

const std::string CONFLICT = "error: cannot specify more than one of -mpc options\n";

struct CliCase {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

// Each run gets a private TMPDIR, which must be empty again afterwards.
class Cli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0); }

    testsupport::RunResult run(const std::vector<std::string>& args) {
        std::string line;
        for (const std::string& a : args) line += " " + shellQuote(a);
        return runPakrev(line, scratch.path(), "TMPDIR=" + shellQuote(tmp));
    }

    ScratchDir scratch;
    std::string tmp = scratch / "tmp";
};

TEST_F(Cli, EndingsPrintTheirTextAndLeaveNoWorkspace) {
    const CliCase cases[] = {
        {{}, 0, USAGE, ""},
        {{"-v"}, 0, USAGE + "cleaning up\n", ""},
        {{"-m", "a", "b"}, 0, USAGE, ""},
        {{"-m", "a", "b", "c", "d"}, 0, USAGE, ""},
        {{"-p"}, 0, "", ""},
        {{"-vp"}, 0, "cleaning up\n", ""},
        {{"-mp"}, 1, "", CONFLICT},
        {{"-vmp"}, 1, "cleaning up\n", CONFLICT},
        {{"-c"}, 1, "unknown option: c\n", ""},
        {{"-vc"}, 1, "unknown option: c\ncleaning up\n", ""},
        {{"-b", "x"}, 1, "", "error: compression option must precede a digit from 1-9\n"},
        {{"-p", "-d"}, 1, "", "error: must supply directory after -d option\n"},
        // The long words users bring: whole words only, first one wins.
        {{"--help"}, 0, HELP, ""},
        {{"-p", "--help", "x.prv"}, 0, HELP, ""},
        {{"--version"}, 0, "pakrev version 0.4.4\n", ""},
        {{"--version", "--help"}, 0, "pakrev version 0.4.4\n", ""},
        {{"--helpme"}, 1, "unknown option: -\n", ""},
        {{"-v-"}, 1, "unknown option: -\ncleaning up\n", ""},
    };
    for (const CliCase& c : cases) {
        std::string label;
        for (const std::string& a : c.args) label += "[" + a + "]";
        SCOPED_TRACE("arguments " + label);
        testsupport::RunResult r = run(c.args);
        EXPECT_FALSE(r.signaled);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(listDir(tmp).empty());
    }
}

TEST_F(Cli, WithoutAWorkspaceNothingRuns) {
    writeFile(scratch / "plain-file", "");
    for (const std::string& base : {scratch / "missing", scratch / "plain-file"}) {
        SCOPED_TRACE("TMPDIR " + base);
        testsupport::RunResult r = runPakrev("-v", scratch.path(), "TMPDIR=" + shellQuote(base));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "error: cannot create temporary directory\n");
    }
}

}  // namespace
