// applyDelta's choice of engine by the delta's leading bytes, and the file
// comparison.
#include <gtest/gtest.h>

#include <cstdlib>

#include "delta/delta.h"
#include "memory_streams.h"
#include "runtime/runtime.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Puts a directory of stand-in delta programs in front of PATH for the life
// of the object. Each stand-in appends its name and arguments to `log` and
// exits with `status`.
class FakeDeltaPrograms {
public:
    explicit FakeDeltaPrograms(int status = 0) : oldPath(getenv("PATH")) {
        for (const char* name : {"xdelta", "segdiff"})
            writeScript(dir / name, "echo " + std::string(name) + " \"$@\" >> " + log() +
                                        "\nexit " + std::to_string(status) + "\n");
        setenv("PATH", (dir.path() + ":" + oldPath).c_str(), 1);
    }
    ~FakeDeltaPrograms() { setenv("PATH", oldPath.c_str(), 1); }
    std::string log() const { return dir / "log"; }
    std::string calls() const { return readFile(log()); }

private:
    ScratchDir dir;
    std::string oldPath;
};

std::string segdiffLiteralDelta(const std::string& text) {
    return Bytes()
        .raw("SGD")
        .u16(SEGDIFF_VERSION)
        .u8(SEGDIFF_POINTER_SIZE)
        .u32(0)
        .u32(static_cast<uint32_t>(text.size()))
        .u32(0)
        .raw(text)
        .s;
}

}  // namespace

TEST(ApplyDelta, SegdiffDeltaUsesTheBuiltInApplier) {
    FakeDeltaPrograms fake;
    ScratchDir dir;
    writeFile(dir / "ref", "reference");
    writeFile(dir / "delta", segdiffLiteralDelta("rebuilt"));
    EXPECT_EQ(applyDelta(dir / "ref", dir / "out", dir / "delta"), APPLY_OK);
    EXPECT_EQ(readFile(dir / "out"), "rebuilt");

    testing::internal::CaptureStdout();
    writeFile(dir / "delta", segdiffLiteralDelta("rebuilt").substr(0, 20));
    EXPECT_EQ(applyDelta(dir / "ref", dir / "out", dir / "delta"), APPLY_FAILED);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake.calls(), "");
}

TEST(ApplyDelta, OtherFormatsRunNothing) {
    FakeDeltaPrograms fake;
    ScratchDir dir;
    writeFile(dir / "ref", "reference");
    for (const std::string& delta : {std::string("\x1f\x8b\x08\x00\x00\x00", 6), std::string(),
                                     std::string("plain text\n"), std::string("%XD"),
                                     std::string("PRV\x04\x00", 5)}) {
        writeFile(dir / "delta", delta);
        EXPECT_EQ(applyDelta(dir / "ref", dir / "out", dir / "delta"), APPLY_BAD_FORMAT)
            << delta;
        EXPECT_FALSE(exists(dir / "out"));
    }
    EXPECT_EQ(fake.calls(), "");
}

TEST(ApplyDelta, XdeltaDeltaRunsXdeltaPatch) {
    ScratchDir dir;
    writeFile(dir / "delta", "%XDZ004%rest");
    for (int status : {0, 3}) {
        FakeDeltaPrograms fake(status);
        EXPECT_EQ(applyDelta(dir / "ref", dir / "out", dir / "delta"),
                  status == 0 ? APPLY_OK : APPLY_FAILED);
        EXPECT_EQ(fake.calls(), "xdelta patch --pristine " + dir / "delta" + " " + dir / "ref" +
                                    " " + dir / "out" + "\n");
    }
}

TEST(ApplyDelta, RealXdeltaRoundTrip) {
    ScratchDir dir;
    std::string oldData = sourceLikeText(50000, 1);
    std::string newData = oldData.substr(0, 20000) + "inserted" + oldData.substr(25000);
    writeFile(dir / "old", oldData);
    writeFile(dir / "new", newData);
    RunResult r = runShell("xdelta delta -0 --pristine " + dir / "old" + " " + dir / "new" + " " +
                           dir / "delta");
    ASSERT_EQ(sniffFile(dir / "delta"), FILE_XDELTA) << r.err;
    EXPECT_EQ(applyDelta(dir / "old", dir / "out", dir / "delta"), APPLY_OK);
    EXPECT_TRUE(readFile(dir / "out") == newData);

    std::string delta = readFile(dir / "delta");
    writeFile(dir / "delta", delta.substr(0, delta.size() / 2));
    EXPECT_EQ(applyDelta(dir / "old", dir / "out2", dir / "delta"), APPLY_FAILED);
}

TEST(FilesIdentical, ComparesEveryByte) {
    ScratchDir dir;
    std::string data = randomBytes(3000, 5);
    writeFile(dir / "a", data);
    writeFile(dir / "b", data.substr(0, data.size() - 1) + static_cast<char>(data.back() ^ 1));
    EXPECT_TRUE(filesIdentical(dir / "a", dir / "a"));
    EXPECT_FALSE(filesIdentical(dir / "a", dir / "b"));
    EXPECT_FALSE(filesIdentical(dir / "a", dir / "missing"));
}
