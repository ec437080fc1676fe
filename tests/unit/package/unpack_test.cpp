// Unpacking packages by the ending of their file names.
#include <gtest/gtest.h>

#include <string>

#include "package/package.h"
#include "patchfile/patchfile.h"
#include "runtime/runtime.h"
#include "test_support.h"

using namespace testsupport;

TEST(EndsWith, ComparesTheLastCharacters) {
    struct Case {
        const char* text;
        const char* ending;
        bool expected;
    } cases[] = {{"pkg.tar.gz", "gz", true}, {"pkg.tar.gz", ".gz", true},
                 {"pkg.tar.gz", "tar", false}, {"gz", "gz", true},
                 {"z", "gz", false}, {"", "", true}, {"abc", "", true}};
    for (const Case& c : cases) EXPECT_EQ(c.expected, endsWith(c.text, c.ending)) << c.text;
}

namespace {

struct EndingCase {
    const char* fileName;
    const char* compressor;  // how the file is made: "gzip", "bzip2" or "" (plain)
    uint32_t kind;
};

class UnpackTest : public testing::Test {
protected:
    ScratchDir dir;
    std::string tar = sourceLikeText(20000, 7);

    // Writes the tar, compressed as asked, under the given name.
    PackageInfo makePackage(const std::string& fileName, const std::string& compressor) {
        writeFile(dir / "plain", tar);
        std::string target = shellQuote(dir / fileName);
        if (compressor.empty())
            runShell("cp " + shellQuote(dir / "plain") + " " + target);
        else
            runShell(compressor + " -c < " + shellQuote(dir / "plain") + " > " + target);
        PackageInfo package;
        package.directory = dir.path() + "/";
        package.fileName = fileName;
        return package;
    }
};

}  // namespace

TEST_F(UnpackTest, EndingChoosesTheDecompressor) {
    const EndingCase cases[] = {
        {"pkg-1.0.tar.bz2", "bzip2", KIND_BZIP2}, {"pkg-1.0.tbz2", "bzip2", KIND_BZIP2},
        {"pkg-1.0.tar.gz", "gzip", KIND_GZIP},    {"pkg-1.0.tgz", "gzip", KIND_GZIP},
        {"pkg-1.0.tar", "", KIND_TAR},            {"pkg-1.0.tar.z", "", KIND_TAR},
        {"pkg-1.0.tar.bz", "", KIND_TAR},
        // The contents are not looked at: a gzip file named .tar is copied.
        {"pkg.tar", "gzip", KIND_TAR},
    };
    for (const EndingCase& c : cases) {
        PackageInfo package = makePackage(c.fileName, c.compressor);
        package.kind = 99;
        ASSERT_TRUE(unpack(package)) << c.fileName;
        EXPECT_EQ(c.kind, package.kind) << c.fileName;
        EXPECT_EQ(0u, package.tarPath.rfind(workspacePath() + "/", 0)) << package.tarPath;
        std::string expected = c.kind == KIND_TAR ? readFile(package.fullPath()) : tar;
        EXPECT_TRUE(readFile(package.tarPath) == expected) << c.fileName;
        removeTempFile(package.tarPath);
    }
}

TEST_F(UnpackTest, DamagedOrMissingPackageFailsWithKindSet) {
    const EndingCase cases[] = {
        {"broken.tar.gz", "", KIND_GZIP},
        {"broken.tar.bz2", "", KIND_BZIP2},
    };
    for (const EndingCase& c : cases) {
        PackageInfo package = makePackage(c.fileName, c.compressor);  // plain bytes: damaged
        EXPECT_FALSE(unpack(package)) << c.fileName;
        EXPECT_EQ(c.kind, package.kind) << c.fileName;
    }
    PackageInfo missing;
    missing.directory = dir.path() + "/";
    missing.fileName = "missing.tar";
    missing.kind = 99;
    EXPECT_FALSE(unpack(missing));
    EXPECT_EQ(KIND_TAR, missing.kind);
}

TEST_F(UnpackTest, UnsupportedEndingsEndTheRun) {
    const struct {
        const char* fileName;
        const char* message;
    } cases[] = {
        {"pkg-1.0.zip", "error: zip files are unsupported \\(pardon the pun!\\)"},
        {"pkg-1.0.tar.gzip", "error: zip files are unsupported \\(pardon the pun!\\)"},
        {"pkg-1.0.tar.lzw", "error: lzw files are not supported"},
        {"pkg-1.0.tar.Z", "error: \\.Z compression not supported"},
    };
    for (const auto& c : cases) {
        PackageInfo package = makePackage(c.fileName, "");
        EXPECT_EXIT(unpack(package), testing::ExitedWithCode(1), c.message) << c.fileName;
    }
}

TEST_F(UnpackTest, UnknownKindRunsNothing) {
    writeFile(dir / "pkg.tar.bz2", tar);
    EXPECT_FALSE(decompressToFile(KIND_BZIP2_OLD, dir / "pkg.tar.bz2", dir / "out"));
    EXPECT_FALSE(exists(dir / "out"));
}
