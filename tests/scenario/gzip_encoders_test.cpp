// Gzip packages from other encoders: the maker finds the encoder, the patch
// records the new kind, and the rebuilt package is byte-identical; a rebuild
// that needs a missing pigz fails cleanly.
#include <gtest/gtest.h>

#include "../unit/gzip/zlib_gzip.h"
#include "scenario.h"

using namespace testsupport;
using namespace scenario;

namespace {

struct EncoderCase {
    const char* name;
    const char* command;  // makes new.tar.gz from new.tar; empty: zlib helper
    uint16_t kind;
};

class GzipEncoderScenario : public ::testing::TestWithParam<EncoderCase> {};

TEST_P(GzipEncoderScenario, MakesAndRebuildsByteIdentical) {
    const EncoderCase& c = GetParam();
    if (std::string(c.command).find("pigz") == 0 && runShell("command -v pigz").status != 0)
        GTEST_SKIP() << "pigz is not installed";
    ScratchDir dir;
    std::string oldTar = makeReleaseTar(dir.path(), "old", 1, 200000);
    std::string newTar = makeReleaseTar(dir.path(), "new", 2, 200000);
    ASSERT_EQ(runShell("gzip -n -9 < old.tar > old.tar.gz", dir.path()).status, 0);
    if (*c.command)
        ASSERT_EQ(runShell(std::string(c.command) + " < new.tar > new.tar.gz", dir.path()).status, 0);
    else
        writeFile(dir / "new.tar.gz", zlibGzip(readFile(newTar), {6, 8, 0, 15}, "", 0, 3));
    RunResult made = runPakrev("-m old.tar.gz new.tar.gz p.prv", dir.path());
    ASSERT_EQ(made.status, 0) << made.err;
    ParsedPatch patch = parsePatch(readFile(dir / "p.prv"));
    ASSERT_FALSE(patch.entries.empty());
    EXPECT_EQ(patch.entries[0].newKind, c.kind);
    runShell("mkdir out && cp old.tar.gz p.prv out/", dir.path());
    RunResult applied = runPakrev("-p p.prv", dir / "out");
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_TRUE(readFile(dir / "out/new.tar.gz") == readFile(dir / "new.tar.gz"));
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, GzipEncoderScenario,
    ::testing::Values(EncoderCase{"zlib", "", 16}, EncoderCase{"rsyncable", "gzip -n --rsyncable -9", 17},
                      EncoderCase{"pigz", "pigz -n -6", 18}
                      ),
    [](const ::testing::TestParamInfo<EncoderCase>& info) { return std::string(info.param.name); });

TEST(GzipEncoderScenario, MissingPigzRebuildFailsCleanly) {
    if (runShell("command -v pigz").status != 0) GTEST_SKIP() << "pigz is not installed";
    ScratchDir dir;
    makeReleaseTar(dir.path(), "old", 1, 200000);
    makeReleaseTar(dir.path(), "new", 2, 200000);
    ASSERT_EQ(runShell("gzip -n < old.tar > old.tar.gz && pigz -n -6 < new.tar > new.tar.gz",
                       dir.path()).status, 0);
    ASSERT_EQ(runPakrev("-m old.tar.gz new.tar.gz p.prv", dir.path()).status, 0);
    runShell("mkdir out nopigz && cp old.tar.gz p.prv out/ && for t in sh find tr grep cat rm mv "
             "cmp gunzip gzip xdelta; do ln -s $(command -v $t) nopigz/$t; done", dir.path());
    RunResult applied = runPakrev("-p p.prv", dir / "out", "PATH=" + (dir / "nopigz"));
    EXPECT_EQ(applied.status, 1);
    EXPECT_NE(applied.err.find("pigz"), std::string::npos) << applied.err;
    EXPECT_FALSE(exists(dir / "out/new.tar.gz"));
}

}  // namespace
