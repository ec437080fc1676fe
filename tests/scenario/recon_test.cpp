// Gzip packages that no encoder reproduces: the maker records them as kind 23
// (deflate reconstruction, the record in the parameter block), the rebuild
// is byte-identical, and a damaged record or an unknown critical field ends
// in a clean failure with nothing placed.
#include <gtest/gtest.h>

#include "scenario.h"

using namespace testsupport;
using namespace scenario;

namespace {

constexpr uint16_t KIND_RECON = 23;

// Makes old.tar.gz (GNU gzip) and new.tar.gz (by `command` from new.tar, run
// in dir) and the patch p.prv; returns the parsed patch.
ParsedPatch makeReconPatch(const ScratchDir& dir, const std::string& command) {
    makeReleaseTar(dir.path(), "old", 1, 150000);
    makeReleaseTar(dir.path(), "new", 2, 150000);
    EXPECT_EQ(runShell("gzip -n -9 < old.tar > old.tar.gz", dir.path()).status, 0);
    EXPECT_EQ(runShell(command, dir.path()).status, 0) << command;
    RunResult made = runPakrev("-m old.tar.gz new.tar.gz p.prv", dir.path());
    EXPECT_EQ(made.status, 0) << made.err;
    return parsePatch(readFile(dir / "p.prv"));
}

// Applies p.prv to a copy of old.tar.gz in dir/out.
RunResult applyInOut(const ScratchDir& dir, const std::string& patch) {
    runShell("rm -rf out && mkdir out && cp old.tar.gz out/", dir.path());
    writeFile(dir / "out/p.prv", patch);
    return runPakrev("-p p.prv", dir / "out");
}

// Two members and bytes after them: the first with a header as gzip never
// writes it (mtime, an extra field, a comment), the second with gzip's own
// name and mtime at another level.
const char MEMBERS_COMMAND[] =
    "head -c 70000 new.tar | gzip -n -6 > body.gz && "
    "printf '\\037\\213\\010\\024\\001\\002\\003\\004\\000\\003\\004\\000ab12a comment\\000' "
    "> new.tar.gz && tail -c +11 body.gz >> new.tar.gz && tail -c +70001 new.tar > part2 && "
    "gzip -1 part2 && cat part2.gz >> new.tar.gz && printf 'trailing bytes' >> new.tar.gz";

bool have(const char* program) {
    return runShell(std::string("command -v ") + program + " >/dev/null").status == 0;
}

struct ReconCase {
    const char* name;
    const char* program;  // needed on PATH, or empty
    const char* command;  // makes new.tar.gz from new.tar
};

class ReconScenario : public ::testing::TestWithParam<ReconCase> {};

TEST_P(ReconScenario, MakesKind23AndRebuildsByteIdentical) {
    const ReconCase& c = GetParam();
    if (*c.program && !have(c.program)) GTEST_SKIP() << c.program << " is not installed";
    ScratchDir dir;
    ParsedPatch patch = makeReconPatch(dir, c.command);
    ASSERT_TRUE(patch.ok);
    ASSERT_EQ(patch.entries.size(), 1u);
    const ParsedEntry& e = patch.entries[0];
    EXPECT_EQ(e.newKind, KIND_RECON);
    EXPECT_EQ(e.newParams, 0u);
    EXPECT_EQ(e.flags, 2u | 4u);
    // The block holds the record under its critical tag.
    ASSERT_GE(e.params.size(), 6u);
    EXPECT_EQ(e.params.substr(0, 2), u16(0x8103));
    EXPECT_EQ(e.params.substr(2, 4), u32(static_cast<uint32_t>(e.params.size() - 6)));
    RunResult applied = applyInOut(dir, readFile(dir / "p.prv"));
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_TRUE(readFile(dir / "out/new.tar.gz") == readFile(dir / "new.tar.gz"));
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, ReconScenario,
    ::testing::Values(
        ReconCase{"libdeflate", "libdeflate-gzip", "libdeflate-gzip -6 < new.tar > new.tar.gz"},
        ReconCase{"zopfli", "zopfli", "zopfli --i1 -c new.tar > new.tar.gz"},
        ReconCase{"sevenzip", "7z", "7z a -tgzip -mx=9 -so x new.tar > new.tar.gz 2>/dev/null"},
        ReconCase{"members_headers_and_trailing_bytes", "", MEMBERS_COMMAND}),
    [](const ::testing::TestParamInfo<ReconCase>& info) { return std::string(info.param.name); });

// The record is hostile input: damaged, cut short, or carrying a critical
// field this reader does not know, the rebuild fails with status 1, its line
// ends in FAILED, and nothing is placed.
TEST(ReconFailures, DamagedOrUnknownBlocksFailCleanly) {
    ScratchDir dir;
    ParsedPatch patch = makeReconPatch(dir, MEMBERS_COMMAND);
    ASSERT_TRUE(patch.ok);
    ASSERT_EQ(patch.entries[0].newKind, KIND_RECON);
    const std::string block = patch.entries[0].params;
    struct Damage {
        const char* name;
        std::string params;
        const char* message;  // expected on standard error, or empty
    };
    std::string flipped = block;
    for (size_t i = 40; i < flipped.size(); i += 97) flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    std::string header = block, later = block;
    header[10] = 0;  // the record's version byte
    later[10] = 9;
    std::string shortened = block.substr(0, 6 + (block.size() - 6) / 2);
    const Damage cases[] = {
        {"flipped record bytes", flipped, ""},
        {"record header", header, "damaged"},
        {"later record version", later, "Upgrade pakrev"},
        {"record cut short, length kept", block.substr(0, 2) + u32(static_cast<uint32_t>(block.size() - 6)) +
                                              block.substr(6, (block.size() - 6) / 2), "damaged"},
        {"record cut short", shortened.substr(0, 2) + u32(static_cast<uint32_t>(shortened.size() - 6)) +
                                 shortened.substr(6), ""},
        {"unknown critical field", block + u16(0x8177) + u32(1) + "x", "Upgrade pakrev"},
        {"no record", u16(0x0001) + u32(3) + "abc", "Upgrade pakrev"},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        ParsedPatch bad = patch;
        bad.entries[0].params = d.params;
        RunResult applied = applyInOut(dir, buildPatch(4, bad.entries));
        EXPECT_EQ(applied.status, 1) << applied.out << applied.err;
        EXPECT_NE(applied.out.find("FAILED"), std::string::npos) << applied.out;
        if (*d.message) {
            EXPECT_NE(applied.err.find(d.message), std::string::npos) << applied.err;
        }
        EXPECT_FALSE(exists(dir / "out/new.tar.gz"));
        expectNoPartialFiles(dir / "out");
    }
}

// A package that GNU gzip reproduces keeps its kind (the reconstruction is
// only the last step).
TEST(ReconChoice, GnuGzipPackagesKeepTheirKind) {
    ScratchDir dir;
    ParsedPatch patch = makeReconPatch(dir, "gzip -n -6 < new.tar > new.tar.gz");
    ASSERT_TRUE(patch.ok);
    EXPECT_EQ(patch.entries[0].newKind, 2u);
    EXPECT_EQ(patch.entries[0].newParams, 6u);
}

}  // namespace

namespace {

// What the reconstruction cannot hold either ends the make with the
// search's message, and no patch is written.
TEST(ReconChoice, MoreThanAMebibyteAfterTheDataEndsTheMake) {
    ScratchDir dir;
    makeReleaseTar(dir.path(), "old", 1, 60000);
    makeReleaseTar(dir.path(), "new", 2, 60000);
    ASSERT_EQ(runShell("gzip -n -9 < old.tar > old.tar.gz && gzip -n -1 < new.tar > new.tar.gz && "
                       "head -c 1100000 /dev/zero | tr '\\000' z >> new.tar.gz",
                       dir.path()).status,
              0);
    RunResult made = runPakrev("-m old.tar.gz new.tar.gz p.prv", dir.path());
    EXPECT_EQ(made.status, 1);
    EXPECT_NE(made.err.find("more than 1 MiB after its compressed data"), std::string::npos)
        << made.err;
    EXPECT_FALSE(exists(dir / "p.prv"));
}

}  // namespace
