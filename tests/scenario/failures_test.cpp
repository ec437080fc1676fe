// Every way an apply or a make can end, and its exit status: a run ends with
// 0 only when every entry produced its package (or found it there). Each
// case checks the standard output, the standard error, the status, that no
// failed package is left under its final name, and that the workspace is
// gone. Hostile inputs are made here: nested compression, a decompression
// bomb, a segdiff delta that copies far more than it declares, patches cut
// in their header or their compressed trailer, and, where the test can
// mount one, a small full file system.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

using namespace testsupport;
using namespace scenario;

namespace {

// Every run is bounded: a hung child can never hang the suite.
const char RUN_LIMIT[] = "timeout -k 5 120 ";

// The bytes of a gzip stream of `data` (zlib, gzip wrapper).
std::string gzipBytes(const std::string& data) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&s, data.size()) + 64, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// The bytes of a bzip2 stream of `zeros` zero bytes, fed in pieces.
std::string bzip2OfZeros(uint64_t zeros) {
    bz_stream s{};
    EXPECT_EQ(BZ2_bzCompressInit(&s, 9, 0, 0), BZ_OK);
    std::string in(1 << 20, '\0'), out, chunk(1 << 16, '\0');
    auto drain = [&](int action) {
        int rc;
        do {
            s.next_out = &chunk[0];
            s.avail_out = static_cast<unsigned>(chunk.size());
            rc = BZ2_bzCompress(&s, action);
            out.append(chunk.data(), chunk.size() - s.avail_out);
        } while ((action == BZ_RUN && s.avail_in > 0) || (action == BZ_FINISH && rc != BZ_STREAM_END));
    };
    for (uint64_t left = zeros; left > 0;) {
        unsigned piece = left < in.size() ? static_cast<unsigned>(left) : static_cast<unsigned>(in.size());
        s.next_in = &in[0];
        s.avail_in = piece;
        drain(BZ_RUN);
        left -= piece;
    }
    drain(BZ_FINISH);
    BZ2_bzCompressEnd(&s);
    return out;
}

class Failures : public ScenarioTest {
protected:
    ScratchDir pub;     // published packages and patches
    ScratchDir mirror;  // the old packages, as a user has them
    ScratchDir work;    // where patches are applied
    std::string p12, p12j, p23;  // patches 1->2 (xdelta, segdiff) and 2->3
    ParsedPatch parsed12;

    void SetUp() override {
        for (int release : {1, 2, 3}) makePackage(pub.path(), release, "tar");
        p12 = make("pkg-1.1.tar", "pkg-1.2.tar", "", "p12");
        p12j = make("pkg-1.1.tar", "pkg-1.2.tar", "-j", "p12j");
        p23 = make("pkg-1.2.tar", "pkg-1.3.tar", "", "p23");
        parsed12 = parsePatch(readFile(p12));
        ASSERT_TRUE(parsed12.ok);
        runShell("cp pkg-1.1.tar " + shellQuote(mirror.path()), pub.path());
    }

    std::string make(const std::string& from, const std::string& to, const std::string& flags,
                     const std::string& name) {
        RunResult r = run("-m " + flags + " " + from + " " + to + " " + name, pub.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return pub / name;
    }

    // Runs pakrev with a hard time limit and TMPDIR=tmp, and expects no
    // workspace left behind.
    RunResult run(const std::string& args, const std::string& cwd, const std::string& env = "",
                  const std::string& tmpdir = "") {
        std::string line = std::string(RUN_LIMIT) + "env PATH=" + shellQuote(binDir()) +
                           ":\"$PATH\" TMPDIR=" + shellQuote(tmpdir.empty() ? tmp.path() : tmpdir) +
                           " " + env + " " + shellQuote(binDir() + "/pakrev") + " " + args;
        RunResult r = runShell(line, cwd);
        EXPECT_FALSE(r.signaled) << "killed by signal " << r.signal;
        EXPECT_TRUE(listDir(tmpdir.empty() ? tmp.path() : tmpdir).empty()) << "workspace left behind";
        return r;
    }

    // Patch 1->2 with its single entry changed.
    std::string patch12With(const std::function<void(ParsedEntry&)>& change, uint16_t version = 4) {
        std::vector<ParsedEntry> entries = parsed12.entries;
        change(entries[0]);
        return buildPatch(version, entries);
    }
};

struct Outcome {
    const char* name;
    std::function<void()> setup;  // writes the inputs
    std::string args;             // after "pakrev", run in work
    std::string env;
    int status;
    std::string out;
    std::string err;              // exact, or with errPart a part of standard error
    bool errPart;
    std::vector<std::string> absent;  // names in work that must not exist afterwards
};

TEST_F(Failures, EveryOutcomeHasItsLineMessageAndStatus) {
    const std::string D = "-D " + shellQuote(mirror.path()) + " ";
    const std::string line = "pkg-1.1.tar -> pkg-1.2.tar: ";
    const std::string h = pub / "h.prv";
    auto write = [](const std::string& path, std::function<std::string()> bytes) {
        return [path, bytes]() { writeFile(path, bytes()); };
    };
    // 1,100 gzip layers around a small patch; 32 are still accepted.
    auto layers = [this](int count) {
        std::string bytes = readFile(p12);
        for (int i = 0; i < count; ++i) bytes = gzipBytes(bytes);
        return bytes;
    };
    const std::string oldTar = readFile(pub / "pkg-1.1.tar");
    const uint32_t oldSize = static_cast<uint32_t>(oldTar.size());
    // A segdiff delta that declares 100 bytes of output but copies the whole
    // old tar 70 times.
    auto amplifying = [oldSize]() {
        std::string d = "SGD" + u16(1) + "\x04" + u32(oldSize) + u32(100) + u32(70);
        for (int i = 0; i < 70; ++i) d += u32(i == 0 ? 0 : static_cast<uint32_t>(-static_cast<int32_t>(oldSize))) + u32(0) + u32(oldSize);
        return d;
    };
    ScratchDir fakes;
    const std::string failingSecondCat = fakes / "cat2";
    mkdir(failingSecondCat.c_str(), 0755);
    // A cat whose second call would write part of its input and fail, as
    // on a full disk.
    writeScript(failingSecondCat + "/cat",
                "if [ -e \"$0.used\" ]; then head -c 1000 \"$1\"; exit 1; fi\n"
                ": > \"$0.used\"; exec /bin/cat \"$@\"\n");
    const std::string catEnv = "PATH=" + shellQuote(failingSecondCat) + ":\"$PATH\"";
    auto freshCat = [failingSecondCat]() { unlink((failingSecondCat + "/cat.used").c_str()); };
    ScratchDir damaged;
    writeFile(damaged / "pkg-1.1.tar", "not the old package");

    std::vector<Outcome> cases = {
        {"ok", [] {}, "-p " + D + shellQuote(p12), "", 0, line + "OK\n", "", false, {}},
        {"already applied", [this] { writeFile(work / "pkg-1.2.tar", "there"); },
         "-p " + D + shellQuote(p12), "", 0, line + "patch already applied.\n", "", false, {}},
        // The copy is made in process: the cat is never run (a copy that
        // fails part way is the full-disk test's).
        {"no digest, a cat that would fail part way is not used",
         [&] { freshCat(); writeFile(h, patch12With([](ParsedEntry&) {}, 3)); },
         "-p " + D + shellQuote(h), catEnv, 0, line + "OK\n", "", false, {}},
        {"source missing", [] {}, "-p " + shellQuote(p12), "", 1,
         line + "couldn't find source to patch.\n", "", false, {"pkg-1.2.tar"}},
        {"source corrupt", [] {}, "-p -D " + shellQuote(damaged.path()) + " " + shellQuote(p12), "", 1,
         line + "previous package is corrupt\n", "", false, {"pkg-1.2.tar"}},
        {"xdelta delta damaged",
         write(h, [&] { return patch12With([](ParsedEntry& e) { e.delta = e.delta.substr(0, e.delta.size() / 2); }); }),
         "-p " + D + shellQuote(h), "", 1, line + "Error applying patch\n", "", true, {"pkg-1.2.tar"}},
        {"segdiff delta copies past its declared size",
         write(h, [&] { return patch12With([&](ParsedEntry& e) { e.delta = amplifying(); }); }),
         "-p " + D + shellQuote(h), "", 1,
         line + "Error.  patchfile writes past its declared output size\nError applying patch\n", "", false,
         {"pkg-1.2.tar"}},
        {"old kind unknown", write(h, [&] { return patch12With([](ParsedEntry& e) { e.oldKind = 3; }); }),
         "-p " + D + shellQuote(h), "", 1, line + "Can't uncompress old package.  Upgrade pakrev.\n", "", false,
         {"pkg-1.2.tar"}},
        {"new kind unknown", write(h, [&] { return patch12With([](ParsedEntry& e) { e.newKind = 9; }); }),
         "-p " + D + shellQuote(h), "", 1, line + "Can't re-compress package.  Upgrade pakrev.\n", "", false,
         {"pkg-1.2.tar"}},
        {"delta of no known format, then a good entry",
         write(h, [&] {
             std::vector<ParsedEntry> entries = parsed12.entries;
             entries.insert(entries.begin(), entries[0]);
             entries[0].delta = "garbage!";
             return buildPatch(2, entries);
         }),
         "-p " + D + shellQuote(h), "", 1, line + "FAILED\n" + line + "OK\n",
         "Unknown delta format used.  Try upgrading pakrev\n", false, {}},
        {"one entry fails, one is fine",
         write(h, [&] {
             std::vector<ParsedEntry> entries = {parsed12.entries[0], parsed12.entries[0]};
             entries[0].oldName = "elsewhere.tar";
             return buildPatch(2, entries);
         }),
         "-p " + D + shellQuote(h), "", 1,
         "elsewhere.tar -> pkg-1.2.tar: couldn't find source to patch.\n" + line + "OK\n", "", false, {}},
        {"header cut before the entry count", write(h, [] { return "PRV" + u16(2); }),
         "-p " + D + shellQuote(h), "", 1, "", "error: patch is truncated\n", false, {}},
        {"gzip patch without its trailer",
         write(h, [&] { std::string g = gzipBytes(readFile(p12)); return g.substr(0, g.size() - 8); }),
         "-p " + D + shellQuote(h), "", 1, line + "FAILED\n", "error: patch is truncated\n", false,
         {"pkg-1.2.tar"}},
        {"bzip2 patch without its end",
         [&] { runShell("bzip2 -c " + shellQuote(p12) + " | head -c -6 > " + shellQuote(h)); },
         "-p " + D + shellQuote(h), "", 1, line + "FAILED\n", "error: patch is truncated\n", false,
         {"pkg-1.2.tar"}},
        {"-r chain", [] {}, "-pr " + D + shellQuote(p12) + " " + shellQuote(p23), "", 0,
         line + "queued\npkg-1.2.tar -> pkg-1.3.tar: queued\npkg-1.3.tar: OK\n", "", false, {"pkg-1.2.tar"}},
        {"-r chain whose second step fails",
         write(h, [&] {
             ParsedPatch p = parsePatch(readFile(p23));
             p.entries[0].delta = "garbage!";
             return buildPatch(4, p.entries);
         }),
         "-pr " + D + shellQuote(p12) + " " + shellQuote(h), "", 1,
         line + "queued\npkg-1.2.tar -> pkg-1.3.tar: FAILED\n",
         "Unknown delta format used.  Try upgrading pakrev\n", false, {"pkg-1.2.tar", "pkg-1.3.tar"}},
        {"-r deferred rebuild fails",
         write(h, [&] { return patch12With([](ParsedEntry& e) { e.newMd5[0] ^= 1; }); }),
         "-pr " + D + shellQuote(h), "", 1, line + "queued\npkg-1.2.tar: FAILED\n",
         "MD5 check failed!!!\ncannot rebuild pkg-1.2.tar\n", false, {"pkg-1.2.tar"}},
        {"32 gzip layers", write(h, [&] { return layers(32); }), "-p " + D + shellQuote(h), "", 0,
         line + "OK\n", "", false, {}},
        {"1,100 gzip layers", write(h, [&] { return layers(1100); }), "-p " + D + shellQuote(h), "", 1,
         "", "cannot read file " + h + ": more than 32 layers of compression and archives\n", false, {}},
        {"bzip2 bomb of zeros", write(h, [] { return bzip2OfZeros(64u << 20); }),
         "-p " + D + shellQuote(h), "", 1, "", "cannot read file " + h + "\n", false, {}},
    };
    for (const Outcome& c : cases) {
        SCOPED_TRACE(c.name);
        runShell("rm -f ./* ./.pakrev-*", work.path());
        c.setup();
        RunResult r = run(c.args, work.path(), c.env);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        if (c.errPart) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err, c.err);
        }
        for (const std::string& name : c.absent) {
            EXPECT_FALSE(exists(work / name)) << name;
        }
        expectNoPartialFiles(work.path());
    }
}

TEST_F(Failures, AMakeThatCannotPlaceItsPatchEndsWithStatus1) {
    ScratchDir fake;
    struct Case {
        const char* name;
        const char* gzip;  // the fake gzip's body
        std::string err;
    } cases[] = {
        {"compressor fails", "exit 1\n", "the patch compressor failed\nCouldn't output patch\n"},
        {"compressor writes a cut stream", "/bin/gzip \"$@\" | head -c 100\n",
         "the written patch does not read back as made\nCouldn't output patch\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeScript(fake / "gzip", c.gzip);
        RunResult r = run("-m -g 9 pkg-1.1.tar pkg-1.2.tar out.prv.gz", pub.path(),
                          "PATH=" + shellQuote(fake.path()) + ":\"$PATH\"");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(exists(pub / "out.prv.gz"));
        expectNoPartialFiles(pub.path());
    }
}

// A tmpfs of the given size mounted on a fresh directory, unmounted at the end.
class SmallDisk {
public:
    SmallDisk(const std::string& dir, const std::string& size) : path(dir) {
        mkdir(path.c_str(), 0755);
        mounted = geteuid() == 0 &&
                  mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
    bool mounted = false;
    std::string path;
};

// The system's reason when a disk is full, never a misleading one, and
// nothing placed. Needs root and tmpfs; skipped elsewhere.
TEST_F(Failures, FullDisksSayWhatCouldNotBeWritten) {
    ScratchDir place;
    SmallDisk small(place / "small", "1m"), roomy(place / "roomy", "32m");
    if (!small.mounted || !roomy.mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
    // Packages of 3 MB, larger than the small disk.
    std::string oldTar = makeReleaseTar(pub.path(), "big1", 1, 3000000);
    std::string newTar = makeReleaseTar(pub.path(), "big2", 2, 3000000);
    runShell("cp " + shellQuote(oldTar) + " q-1.tar && cp " + shellQuote(newTar) + " q-2.tar", pub.path());
    RunResult r = run("-m q-1.tar q-2.tar q.prv", pub.path());
    ASSERT_EQ(r.status, 0) << r.err;
    ParsedPatch p = parsePatch(readFile(pub / "q.prv"));
    ASSERT_TRUE(p.ok);
    writeFile(pub / "q3.prv", buildPatch(3, p.entries));  // no digests
    const std::string smallTmp = small.path + "/tmp", roomyTmp = roomy.path + "/tmp";
    const std::string smallWork = small.path + "/work", roomyWork = roomy.path + "/work";
    for (const std::string& d : {smallTmp, roomyTmp, smallWork, roomyWork}) mkdir(d.c_str(), 0755);
    const std::string D = "-D " + shellQuote(pub.path()) + " ";
    const std::string line = "q-1.tar -> q-2.tar: ";
    const std::string enospc = ": No space left on device\n";

    // A version 3 patch applied into a full directory: nothing placed.
    for (const char* patch : {"q3.prv", "q.prv"}) {
        SCOPED_TRACE(patch);
        r = run("-p " + D + shellQuote(pub / patch), smallWork, "", roomyTmp);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, line + "FAILED\n");
        EXPECT_NE(r.err.find("cannot write q-2.tar" + enospc), std::string::npos) << r.err;
        EXPECT_TRUE(listDir(smallWork).empty());
    }
    // A full workspace during an apply.
    r = run("-p " + D + shellQuote(pub / "q3.prv"), roomyWork, "", smallTmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, line + "FAILED\n");
    EXPECT_EQ(r.err.find("cannot write into the workspace " + smallTmp + "/"), 0u) << r.err;
    EXPECT_NE(r.err.find(enospc), std::string::npos) << r.err;
    EXPECT_TRUE(listDir(roomyWork).empty());
    // A full workspace during a make.
    r = run("-m q-1.tar q-2.tar " + shellQuote(roomyWork + "/q.prv"), pub.path(), "", smallTmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("error: cannot write into the workspace " + smallTmp + "/"), 0u) << r.err;
    EXPECT_NE(r.err.find(enospc), std::string::npos) << r.err;
    EXPECT_TRUE(listDir(roomyWork).empty());
    // A make whose patch does not fit where it goes.
    runShell("head -c 2000000 /dev/zero > filler", small.path);  // fills it
    r = run("-m q-1.tar q-2.tar " + shellQuote(smallWork + "/q.prv"), pub.path(), "", roomyTmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write " + smallWork + "/q.prv" + enospc.substr(0, enospc.size() - 1) +
                         "\nCouldn't output patch\n");
    EXPECT_TRUE(listDir(smallWork).empty());
}

}  // namespace
