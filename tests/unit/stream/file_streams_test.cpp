// Plain and compressed file streams.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "memory_streams.h"
#include "runtime/runtime.h"
#include "stream/stream.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Runs a shell line that must succeed.
void mustRun(const std::string& line) {
    RunResult r = runShell(line);
    ASSERT_EQ(r.status, 0) << line << "\n" << r.err;
}

// Copies a whole stream into memory through copyBytes, as the patch opener does.
template <class Stream>
bool copyAll(Stream& in, std::string& out) {
    MemoryOStream sink;
    bool ok = copyBytes(in, sink, 0xFFFFFFFFu);
    out = sink.data;
    return ok;
}

}  // namespace

TEST(FileStreams, PlainRoundTrip) {
    ScratchDir dir;
    std::string data = randomBytes(5000, 1);
    {
        OFStream out(dir / "f");
        ASSERT_TRUE(out.isOpen());
        EXPECT_EQ(out.write(data.data(), 3000), 3000u);
        EXPECT_EQ(out.write(data.data() + 3000, 2000), 2000u);
    }
    IFStream in(dir / "f");
    ASSERT_TRUE(in.isOpen());
    std::string back;
    EXPECT_FALSE(copyAll(in, back));  // the count asked for is larger than the file
    EXPECT_EQ(back, data);
    EXPECT_EQ(in.read(&back[0], 10), 0u);
}

TEST(FileStreams, FailedOpenLeavesNullHandle) {
    ScratchDir dir;
    std::string missing = dir / "no/such/file";
    char byte = 'x';
    IFStream in(missing);
    EXPECT_FALSE(in.isOpen());
    EXPECT_EQ(in.read(&byte, 1), 0u);
    OFStream out(missing);
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(out.write(&byte, 1), 0u);
    GZ_IFStream gzIn(missing);
    EXPECT_FALSE(gzIn.isOpen());
    EXPECT_EQ(gzIn.read(&byte, 1), 0u);
    GZ_OFStream gzOut(missing);
    EXPECT_FALSE(gzOut.isOpen());
    BZ_IFStream bzIn(missing);
    EXPECT_FALSE(bzIn.isOpen());
    EXPECT_EQ(bzIn.read(&byte, 1), 0u);
}

TEST(CompressedStreams, ReadWhatTheCompressorsWrote) {
    ScratchDir dir;
    std::string data = sourceLikeText(200000, 2);
    writeFile(dir / "plain", data);
    mustRun("gzip -9 -c " + shellQuote(dir / "plain") + " > " + shellQuote(dir / "plain.gz"));
    mustRun("bzip2 -1 -c " + shellQuote(dir / "plain") + " > " + shellQuote(dir / "plain.bz2"));
    {
        GZ_OFStream out(dir / "ours.gz");
        ASSERT_TRUE(out.isOpen());
        EXPECT_EQ(out.write(data.data(), 70000), 70000u);
        EXPECT_EQ(out.write(data.data() + 70000, 130000), 130000u);
    }
    mustRun("gzip -t " + shellQuote(dir / "ours.gz"));

    std::string back;
    {
        GZ_IFStream in(dir / "plain.gz");
        ASSERT_TRUE(in.isOpen());
        EXPECT_FALSE(copyAll(in, back));
        EXPECT_EQ(back, data);
    }
    {
        GZ_IFStream in(dir / "ours.gz");
        EXPECT_FALSE(copyAll(in, back));
        EXPECT_EQ(back, data);
    }
    {
        BZ_IFStream in(dir / "plain.bz2");
        ASSERT_TRUE(in.isOpen());
        EXPECT_FALSE(copyAll(in, back));
        EXPECT_EQ(back, data);
        char byte;
        EXPECT_EQ(in.read(&byte, 1), 0u);
    }
    {
        // An exact count of a compressed stream's length succeeds.
        BZ_IFStream in(dir / "plain.bz2");
        MemoryOStream sink;
        EXPECT_TRUE(copyBytes(in, sink, static_cast<uint32_t>(data.size())));
    }
}

// Damaged compressed data must read as an early end: never a count beyond the
// request, and reading on after the error stays harmless.
TEST(CompressedStreams, CorruptDataReadsAsTheEnd) {
    ScratchDir dir;
    std::string data = sourceLikeText(300000, 3);
    writeFile(dir / "plain", data);
    mustRun("gzip -c " + shellQuote(dir / "plain") + " > " + shellQuote(dir / "p.gz"));
    mustRun("bzip2 -c " + shellQuote(dir / "plain") + " > " + shellQuote(dir / "p.bz2"));
    std::string gz = readFile(dir / "p.gz"), bz = readFile(dir / "p.bz2");

    auto damaged = [](const std::string& s) {
        return s.substr(0, s.size() / 2) + std::string(64, '\x55') + s.substr(s.size() / 2 + 64);
    };
    struct Case {
        const char* name;
        bool bzip2;
        std::string bytes;
        bool cut;  // only cut short: what arrives is a true prefix
    } cases[] = {
        {"gzip, damaged middle", false, damaged(gz), false},
        {"gzip, cut short", false, gz.substr(0, gz.size() / 3), true},
        {"gzip, header only", false, gz.substr(0, 10), true},
        {"bzip2, damaged middle", true, damaged(bz), false},
        {"bzip2, cut short", true, bz.substr(0, bz.size() / 3), true},
        {"bzip2, header only", true, bz.substr(0, 4), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "bad", c.bytes);
        auto readsAsTheEnd = [&](IStream& in) {
            // Direct reads up to the error, then a few more past it.
            std::string back;
            std::vector<char> buffer(70000);
            uint32_t got;
            do {
                got = in.read(buffer.data(), 70000);
                ASSERT_LE(got, 70000u);
                back.append(buffer.data(), got);
            } while (got == 70000);
            EXPECT_LT(back.size(), data.size());
            if (c.cut) {
                EXPECT_EQ(back, data.substr(0, back.size()));
            }
            for (int i = 0; i < 3; ++i) EXPECT_EQ(in.read(buffer.data(), 4096), 0u);
            EXPECT_EQ(readU32(in), 0u);
        };
        auto copyFails = [&](IStream& in) {
            std::string back;
            EXPECT_FALSE(copyAll(in, back));
            EXPECT_LT(back.size(), data.size());
        };
        if (c.bzip2) {
            BZ_IFStream first(dir / "bad"), second(dir / "bad");
            readsAsTheEnd(first);
            copyFails(second);
            EXPECT_TRUE(first.failed());
            EXPECT_TRUE(second.failed());
        } else {
            GZ_IFStream first(dir / "bad"), second(dir / "bad");
            readsAsTheEnd(first);
            copyFails(second);
            EXPECT_TRUE(first.failed());
            EXPECT_TRUE(second.failed());
        }
    }
}

// A stream whose data all arrived but whose trailer is missing is failed once
// the read reaches its end; an intact one never is.
TEST(CompressedStreams, AMissingTrailerFailsTheStream) {
    ScratchDir dir;
    std::string data = sourceLikeText(50000, 4);
    writeFile(dir / "plain", data);
    mustRun("gzip -c " + shellQuote(dir / "plain") + " > " + shellQuote(dir / "p.gz"));
    mustRun("bzip2 -c " + shellQuote(dir / "plain") + " > " + shellQuote(dir / "p.bz2"));
    std::string gz = readFile(dir / "p.gz"), bz = readFile(dir / "p.bz2");
    struct Case {
        const char* name;
        bool bzip2;
        std::string bytes;
        bool failed;
    } cases[] = {
        {"gzip intact", false, gz, false},
        {"gzip without its trailer", false, gz.substr(0, gz.size() - 8), true},
        {"gzip with a wrong CRC", false, gz.substr(0, gz.size() - 8) + "\1\2\3\4" + gz.substr(gz.size() - 4), true},
        {"bzip2 intact", true, bz, false},
        {"bzip2 without its end mark", true, bz.substr(0, bz.size() - 6), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "f", c.bytes);
        std::string back;
        if (c.bzip2) {
            BZ_IFStream in(dir / "f");
            copyAll(in, back);
            EXPECT_EQ(in.failed(), c.failed);
        } else {
            GZ_IFStream in(dir / "f");
            copyAll(in, back);
            EXPECT_EQ(in.failed(), c.failed);
        }
        if (!c.failed) {
            EXPECT_EQ(back, data);
        }
    }
}

TEST(FileStreams, AFailedWriteKeepsItsReason) {
    OFStream full("/dev/full");
    ASSERT_TRUE(full.isOpen());
    std::string block(8192, 'x');
    full.write(block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_FALSE(full.close());
    EXPECT_EQ(full.error(), ENOSPC);
    ScratchDir dir;
    EXPECT_EQ(writeFailureReason(dir.path()), "");
    EXPECT_EQ(writeFailureReason(dir / "missing"), strerror(ENOENT));
    EXPECT_TRUE(listDir(dir.path()).empty());
}
