// xz and zstd packages made here with the xz and zstd programs: the maker
// finds the settings, the patch is small, the rebuild is byte-identical; a
// package no setting covers travels as its compressed bytes.
#include <gtest/gtest.h>

#include "scenario.h"

using namespace testsupport;

namespace {

struct Case {
    const char* command;  // compresses standard input to standard output
    const char* ending;
    bool reproducible;
};

const Case CASES[] = {
    {"xz -0", ".tar.xz", true},          {"xz -1", ".tar.xz", true},
    {"xz -2", ".txz", true},             {"xz -3", ".tar.xz", true},
    {"xz -4", ".tar.xz", true},          {"xz -5", ".tar.xz", true},
    {"xz -6", ".tar.xz", true},          {"xz -7", ".tar.xz", true},
    {"xz -8", ".tar.xz", true},          {"xz -9", ".tar.xz", true},
    {"xz -6e", ".tar.xz", true},         {"xz --check=crc32", ".tar.xz", true},
    {"xz --check=sha256", ".tar.xz", true}, {"xz --check=none", ".tar.xz", true},
    {"xz -T2 --block-size=60000", ".tar.xz", true},
    {"xz -T1 --block-size=60000", ".tar.xz", true},
    {"xz -6 --memlimit-compress=30MiB", ".tar.xz", true},
    {"xz --x86 --lzma2", ".tar.xz", false},
    {"zstd -q -1", ".tar.zst", true},    {"zstd -q -3", ".tzst", true},
    {"zstd -q -19", ".tar.zst", true},   {"zstd -q --ultra -22", ".tar.zst", true},
    {"zstd -q --long", ".tar.zst", true}, {"zstd -q --no-check", ".tar.zst", true},
    {"zstd -q -T2", ".tar.zst", true},
};

// The case's command as a test name: letters and digits, one underscore
// for every run of anything else.
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* p = info.param.command; *p; ++p) {
        bool word = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9');
        if (word)
            name += *p;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    return name;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.command; }

class XzZstdSettings : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(XzZstdSettings, MakeFindsTheSettingsAndApplyRebuildsByteForByte) {
    const Case& c = GetParam();
    ScratchDir dir, tmp;
    std::string oldTar = scenario::makeReleaseTar(dir.path(), "pkg-1.1", 1, 200000);
    std::string newTar = scenario::makeReleaseTar(dir.path(), "pkg-1.2", 2, 200000);
    std::string oldName = std::string("pkg-1.1") + c.ending;
    std::string newName = std::string("pkg-1.2") + c.ending;
    runShell(std::string(c.command) + " < " + shellQuote(oldTar) + " > " + shellQuote(dir / oldName));
    runShell(std::string(c.command) + " < " + shellQuote(newTar) + " > " + shellQuote(dir / newName));
    std::string published = readFile(dir / newName);
    std::string env = "TMPDIR=" + tmp.path();
    RunResult made = runPakrev("-m " + oldName + " " + newName + " p.prv", dir.path(), env);
    ASSERT_EQ(0, made.status) << c.command << made.err;
    std::string kind = std::string(c.ending).find("zst") == std::string::npos ? "xz" : "zstd";
    bool fellBack = made.err.find(kind + " settings not found: the patch holds a delta of the "
                                  "compressed files") != std::string::npos;
    EXPECT_EQ(!c.reproducible, fellBack) << c.command << made.err;
    if (c.reproducible) {
        EXPECT_LT(readFile(dir / "p.prv").size() * 4, published.size()) << c.command;
    }

    runShell("rm " + shellQuote(dir / newName));
    RunResult applied = runPakrev("-p -D . p.prv", dir.path(), env);
    EXPECT_EQ(0, applied.status) << c.command << applied.err;
    EXPECT_TRUE(readFile(dir / newName) == published) << c.command;
}

INSTANTIATE_TEST_SUITE_P(Commands, XzZstdSettings, ::testing::ValuesIn(CASES), caseName);

TEST(XzZstdPackages, DamagedPackagesCannotBeUnpacked) {
    for (const char* ending : {".tar.xz", ".tar.zst"}) {
        ScratchDir dir, tmp;
        std::string tar = scenario::makeReleaseTar(dir.path(), "pkg-1.1", 1);
        std::string command = std::string(ending) == ".tar.xz" ? "xz -c " : "zstd -q -c ";
        runShell(command + shellQuote(tar) + " > " + shellQuote(dir / (std::string("a") + ending)));
        std::string bytes = readFile(dir / (std::string("a") + ending));
        writeFile(dir / (std::string("b") + ending), bytes.substr(0, bytes.size() / 2));
        RunResult r = runPakrev(std::string("-m a") + ending + " b" + ending + " p.prv", dir.path(),
                                "TMPDIR=" + tmp.path());
        EXPECT_EQ(1, r.status) << ending;
        EXPECT_NE(std::string::npos, r.err.find("Cannot read second input file")) << ending << r.err;
        EXPECT_FALSE(exists(dir / "p.prv")) << ending;
    }
}

TEST(XzZstdPackages, SeveralStreamsPaddingAndTrailingBytesTravelAsCompressedBytes) {
    struct Case {
        const char* command;
        const char* ending;
        const char* what;
    } cases[] = {
        {"xz -c", ".tar.xz", "twice"},    {"xz -c", ".tar.xz", "padding"},
        {"xz -c", ".tar.xz", "garbage"},  {"zstd -q -c", ".tar.zst", "twice"},
        {"zstd -q -c", ".tar.zst", "garbage"},
    };
    for (const Case& c : cases) {
        ScratchDir dir, tmp;
        std::string oldTar = scenario::makeReleaseTar(dir.path(), "pkg-1.1", 1, 100000);
        std::string newTar = scenario::makeReleaseTar(dir.path(), "pkg-1.2", 2, 100000);
        std::string oldName = std::string("pkg-1.1") + c.ending;
        std::string newName = std::string("pkg-1.2") + c.ending;
        runShell(std::string(c.command) + " " + shellQuote(oldTar) + " > " + shellQuote(dir / oldName));
        runShell(std::string(c.command) + " " + shellQuote(newTar) + " > " + shellQuote(dir / newName));
        std::string one = readFile(dir / newName);
        std::string what = c.what;
        std::string published = what == "twice"     ? one + one
                                : what == "padding" ? one + std::string(8, '\0')
                                                    : one + "trailing bytes\n";
        writeFile(dir / newName, published);
        std::string env = "TMPDIR=" + tmp.path();
        RunResult made = runPakrev("-m " + oldName + " " + newName + " p.prv", dir.path(), env);
        ASSERT_EQ(0, made.status) << c.ending << " " << what << made.err;
        EXPECT_NE(std::string::npos, made.err.find("settings not found: the patch holds a delta of "
                                                   "the compressed files"))
            << c.ending << " " << what << made.err;
        runShell("rm " + shellQuote(dir / newName));
        RunResult applied = runPakrev("-p -D . p.prv", dir.path(), env);
        EXPECT_EQ(0, applied.status) << c.ending << " " << what << applied.err;
        EXPECT_TRUE(readFile(dir / newName) == published) << c.ending << " " << what;
    }
}
