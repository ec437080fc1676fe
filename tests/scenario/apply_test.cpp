// pakrev -p: round trips through the whole tool, chains, options, and what
// hostile or damaged patches may and may not do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scenario.h"

using namespace testsupport;
using namespace scenario;

namespace {

class ApplyTest : public ScenarioTest {
protected:
    ScratchDir pub;     // the published packages
    ScratchDir mirror;  // old packages, as a user has them
    ScratchDir work;    // the clean directory patches are applied in

    // Makes a patch in pub from release a to release b of the given kind.
    std::string makePatch(int a, int b, const std::string& kind, const std::string& flags,
                          const std::string& patchName) {
        std::string oldPkg = packageName(a, kind), newPkg = packageName(b, kind);
        RunResult r = pakrev("-m " + flags + " " + oldPkg + " " + newPkg + " " + patchName, pub.path());
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        return pub / patchName;
    }
    std::string packageName(int release, const std::string& kind) {
        std::string name = "pkg-1." + std::to_string(release) + ".tar";
        if (kind.rfind("gz", 0) == 0) name += ".gz";
        if (kind.rfind("bz2", 0) == 0) name += ".bz2";
        if (!exists(pub / name)) makePackage(pub.path(), release, kind);
        return name;
    }
    void toMirror(int release, const std::string& kind) {
        runShell("cp " + shellQuote(pub / packageName(release, kind)) + " " + shellQuote(mirror.path()));
    }
    void expectRebuilt(int release, const std::string& kind) {
        std::string name = packageName(release, kind);
        EXPECT_EQ(runShell("cmp " + shellQuote(pub / name) + " " + shellQuote(work / name)).status, 0)
            << name << " is not byte-identical";
    }
};

struct RoundTrip {
    const char* kind;
    const char* makeFlags;
};

TEST_F(ApplyTest, RoundTripsAreByteIdentical) {
    const RoundTrip cases[] = {
        {"tar", ""},    {"tar", "-j"},      {"gz1", "-g 9"},  {"gz6", "-j"}, {"gz9", "-b 9"},
        {"gz9", ""},    {"bz21", "-j -b 1"}, {"bz29", ""},     {"bz29", "-e"},
    };
    int n = 0;
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.makeFlags);
        std::string patch = makePatch(1, 2, c.kind, c.makeFlags, "p" + std::to_string(n++));
        toMirror(1, c.kind);
        RunResult r = pakrev("-p -D " + shellQuote(mirror.path()) + " " + shellQuote(patch), work.path());
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.out, packageName(1, c.kind) + " -> " + packageName(2, c.kind) + ": OK\n");
        expectRebuilt(2, c.kind);
        expectNoPartialFiles(work.path());
        runShell("rm -f " + shellQuote(work / packageName(2, c.kind)));
        runShell("rm -f " + shellQuote(pub / packageName(1, c.kind)) + " " + shellQuote(pub / packageName(2, c.kind)));
    }
}

TEST_F(ApplyTest, ThreadCountChangesNoByte) {
    // bz21 packages of several blocks, so that blocks are compressed at once.
    makePackage(pub.path(), 1, "bz21", 250000);
    makePackage(pub.path(), 2, "bz21", 250000);
    for (const char* kind : {"tar", "gz1", "gz9", "bz21"}) {
        SCOPED_TRACE(kind);
        // Made with -v: every line and its order stay as they are.
        std::string oldPkg = packageName(1, kind), newPkg = packageName(2, kind);
        RunResult one = pakrev("-m -v -e -T 1 " + oldPkg + " " + newPkg + " seq", pub.path());
        std::string sequential = readFile(pub / "seq");
        runShell("mv seq seq.made", pub.path());
        RunResult two = pakrev("-m -v -e " + oldPkg + " " + newPkg + " seq", pub.path());
        runShell("mv seq par && mv seq.made seq", pub.path());
        std::string parallel = readFile(pub / "par");
        EXPECT_EQ(one.status, 0) << one.err;
        EXPECT_EQ(two.status, 0) << two.err;
        EXPECT_EQ(one.out, two.out);
        EXPECT_EQ(one.err, two.err);
        EXPECT_TRUE(sequential == parallel) << "patch bytes differ";
        toMirror(1, kind);
        for (const char* threads : {"-T 1", "-T 2"}) {
            RunResult r = pakrev(std::string("-p ") + threads + " -D " + shellQuote(mirror.path()) +
                                     " " + shellQuote(pub / "par"),
                                 work.path());
            EXPECT_EQ(r.out, packageName(1, kind) + " -> " + packageName(2, kind) + ": OK\n")
                << threads << r.err;
            expectRebuilt(2, kind);
            runShell("rm -f " + shellQuote(work / packageName(2, kind)));
        }
        runShell("rm -f " + shellQuote(pub / "seq") + " " + shellQuote(pub / "par"));
    }
}

TEST_F(ApplyTest, GzipTarOfBzip2PatchesAppliesEveryMember) {
    std::string p1 = makePatch(1, 2, "gz9", "-b 9", "a.prv.bz2");
    std::string p2 = makePatch(1, 2, "bz29", "-b 9", "b.prv.bz2");
    ASSERT_EQ(runShell("tar -cf - a.prv.bz2 b.prv.bz2 | gzip -c > bundle.tgz", pub.path()).status, 0);
    toMirror(1, "gz9");
    toMirror(1, "bz29");
    RunResult r = pakrev("-p -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "bundle.tgz"), work.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: OK\npkg-1.1.tar.bz2 -> pkg-1.2.tar.bz2: OK\n");
    expectRebuilt(2, "gz9");
    expectRebuilt(2, "bz29");
}

TEST_F(ApplyTest, MergedChainsBuildOnlyTheLastRelease) {
    std::string p12 = makePatch(1, 2, "gz9", "", "p12");
    std::string p23 = makePatch(2, 3, "gz9", "-j", "p23");
    std::string p34 = makePatch(3, 4, "gz9", "", "p34");
    std::string b12 = makePatch(1, 2, "bz29", "", "b12");
    toMirror(1, "gz9");
    toMirror(1, "bz29");
    RunResult r = pakrev("-pr -D " + shellQuote(mirror.path()) + " " + p12 + " " + b12 + " " + p23 + " " + p34,
                         work.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listDir(work.path()), (std::vector<std::string>{"pkg-1.2.tar.bz2", "pkg-1.4.tar.gz"}));
    expectRebuilt(4, "gz9");
    expectRebuilt(2, "bz29");
}

TEST_F(ApplyTest, InfoForceAndRepositories) {
    std::string patch = makePatch(1, 2, "gz9", "", "p");
    ScratchDir second;
    toMirror(1, "gz9");
    // -i shows the entry and touches nothing.
    RunResult r = pakrev("-pi -D " + shellQuote(mirror.path()) + " " + patch, work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: \n");
    EXPECT_TRUE(listDir(work.path()).empty());
    // Two -D directories: the later one wins, so a damaged copy in the first does not matter...
    writeFile(second / "pkg-1.1.tar.gz", "damaged");
    r = pakrev("-p -D " + shellQuote(second.path()) + " -D " + shellQuote(mirror.path()) + " " + patch, work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: OK\n");
    expectRebuilt(2, "gz9");
    // ...and is used when given last.
    r = pakrev("-pf -D " + shellQuote(mirror.path()) + " -D " + shellQuote(second.path()) + " " + patch, work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: previous package is corrupt\n");
    // Without -f an existing package is left alone; with -f it is rebuilt over.
    writeFile(work / "pkg-1.2.tar.gz", "stale");
    r = pakrev("-p -D " + shellQuote(mirror.path()) + " " + patch, work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: patch already applied.\n");
    EXPECT_EQ(readFile(work / "pkg-1.2.tar.gz"), "stale");
    r = pakrev("-pf -D " + shellQuote(mirror.path()) + " " + patch, work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: OK\n");
    expectRebuilt(2, "gz9");
    // Not found anywhere.
    r = pakrev("-p " + patch, work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: couldn't find source to patch.\n");
}

// Hand-made patches of the versions the maker no longer writes.
TEST_F(ApplyTest, OlderPatchVersions) {
    std::string oldTar = packageName(1, "tar"), newTar = packageName(2, "tar");
    ASSERT_EQ(runShell("xdelta delta -0 --pristine " + oldTar + " " + newTar + " d.xd", pub.path()).status, 1);
    ParsedEntry e;
    e.oldName = oldTar;
    e.newName = newTar;
    e.flags = 0;  // digest (none here) of the package file
    e.delta = readFile(pub / "d.xd");
    toMirror(1, "tar");
    for (uint16_t version : {0, 3}) {
        SCOPED_TRACE(version);
        writeFile(pub / "old.prv", buildPatch(version, {e}));
        RunResult r = pakrev("-pf -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "old.prv"), work.path());
        EXPECT_EQ(r.out, oldTar + " -> " + newTar + ": OK\n");
        expectRebuilt(2, "tar");
    }
    // Version 2: several entries, and a count of zero does nothing.
    ParsedEntry missing = e;
    missing.oldName = "elsewhere.tar";
    writeFile(pub / "v2.prv", buildPatch(2, {missing, e}));
    RunResult r = pakrev("-pf -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "v2.prv"), work.path());
    EXPECT_EQ(r.out, "elsewhere.tar -> " + newTar + ": couldn't find source to patch.\n" + oldTar + " -> " +
                         newTar + ": OK\n");
    writeFile(pub / "v2empty.prv", buildPatch(2, {}));
    r = pakrev("-p " + shellQuote(pub / "v2empty.prv"), work.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

// A fixup that does not give the published bytes: the digest catches it,
// nothing is placed, and an existing file stays as it was.
TEST_F(ApplyTest, ARebuildThatDoesNotVerifyIsNeverPlaced) {
    std::string patch = makePatch(1, 2, "gz9", "", "p");
    ParsedPatch p = parsePatch(readFile(patch));
    ASSERT_TRUE(p.ok);
    p.entries[0].newMd5[0] ^= 1;  // the published package is not what this rebuild gives
    writeFile(pub / "bad.prv", buildPatch(4, p.entries));
    toMirror(1, "gz9");
    writeFile(work / "pkg-1.2.tar.gz", "previous");
    RunResult r = pakrev("-pf -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "bad.prv"), work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: FAILED\n");
    EXPECT_EQ(r.err, "MD5 check failed!!!\n");
    EXPECT_EQ(readFile(work / "pkg-1.2.tar.gz"), "previous");
    expectNoPartialFiles(work.path());
}

TEST_F(ApplyTest, Bzip2WithoutAReproducingReleaseIsRefused) {
    std::string patch = makePatch(1, 2, "bz29", "", "p");
    ParsedPatch p = parsePatch(readFile(patch));
    p.entries[0].newMd5[3] ^= 1;
    writeFile(pub / "bad.prv", buildPatch(4, p.entries));
    toMirror(1, "bz29");
    RunResult r = pakrev("-pr -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "bad.prv"), work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pkg-1.1.tar.bz2 -> pkg-1.2.tar.bz2: queued\npkg-1.2.tar.bz2: FAILED\n");
    EXPECT_EQ(r.err, "Error: Pakrev cannot find the proper bzip2 to rebuild the package\n"
                     "cannot rebuild pkg-1.2.tar.bz2\n");
    EXPECT_TRUE(listDir(work.path()).empty());
}

// A release that the patch records as working but that does not reproduce the
// package here counts as tried: the untested releases are tried next.
TEST_F(ApplyTest, AWorkingReleaseThatFailsHereFallsBackToUntestedOnes) {
    std::string patch = makePatch(1, 2, "bz29", "", "p");
    ParsedPatch p = parsePatch(readFile(patch));
    ASSERT_TRUE(p.ok);
    const uint32_t tested5 = 0x80000000u >> 10, works5 = 0x40000000u >> 10;
    p.entries[0].newParams = 9 | tested5 | works5;
    writeFile(pub / "p5.prv", buildPatch(4, p.entries));
    toMirror(1, "bz29");
    ScratchDir fake;  // a "1.0.6" whose output differs from the real one
    writeFakeBzip2(fake / "bzip2-1.0.6", "1.0.6", "/bin/bzip2 \"$@\"; printf x");
    std::string env = "PATH=" + shellQuote(fake.path()) + ":\"$PATH\"";
    RunResult r = pakrev("-pv -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "p5.prv"), work.path(), env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("using working compression format: 1.0.6\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("trying to use "), std::string::npos);
    expectRebuilt(2, "bz29");
}

// The move into place is done in process: an mv on the search path that
// would die half way is never run, and a move across file systems (the
// workspace on another one, where the machine has one) copies into a fresh
// name beside the package first. Nothing partial is left anywhere.
TEST_F(ApplyTest, TheMoveIntoPlaceNeverLeavesAPartialPackage) {
    std::string patch = makePatch(1, 2, "tar", "", "p");
    toMirror(1, "tar");
    ScratchDir fake;
    writeScript(fake / "mv", "head -c 100 \"$1\" > \"$2\"; kill -9 $$\n");
    std::string env = "PATH=" + shellQuote(fake.path()) + ":\"$PATH\"";
    std::vector<std::string> workspaces = {""};
    struct stat shm, here;
    char elsewhere[] = "/dev/shm/pakrev-test-XXXXXX";
    if (stat("/dev/shm", &shm) == 0 && stat(work.path().c_str(), &here) == 0 &&
        shm.st_dev != here.st_dev && mkdtemp(elsewhere) != nullptr)
        workspaces.push_back(elsewhere);
    for (const std::string& ws : workspaces) {
        SCOPED_TRACE(ws.empty() ? "workspace beside" : "workspace on another file system");
        RunResult r = pakrev("-p -D " + shellQuote(mirror.path()) + " " + shellQuote(patch),
                             work.path(), env + (ws.empty() ? "" : " TMPDIR=" + shellQuote(ws)));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "pkg-1.1.tar -> pkg-1.2.tar: OK\n");
        expectRebuilt(2, "tar");
        expectNoPartialFiles(work.path());
        if (!ws.empty()) {
            EXPECT_TRUE(listDir(ws).empty()) << "workspace left behind";
        }
        unlink((work / "pkg-1.2.tar").c_str());
    }
    if (workspaces.size() > 1) rmdir(elsewhere);
}

struct HostileCase {
    const char* name;
    std::string bytes;
    int status;
    std::string out;
    std::string err;
};

TEST_F(ApplyTest, HostileAndDamagedPatches) {
    std::string patch = makePatch(1, 2, "gz9", "", "p");
    std::string good = readFile(patch);
    ParsedPatch p = parsePatch(good);
    ASSERT_TRUE(p.ok);
    toMirror(1, "gz9");
    auto with = [&](auto change) {
        std::vector<ParsedEntry> entries = p.entries;
        change(entries[0]);
        return buildPatch(4, entries);
    };
    const std::string line = "pkg-1.1.tar.gz -> pkg-1.2.tar.gz: ";
    const std::string truncated = "error: patch is truncated\n";
    const std::string path = pub / "h.prv";
    std::vector<HostileCase> cases = {
        {"wrong magic", "PKR" + good.substr(3), 1, "", "cannot read file " + path + "\n"},
        {"version 1", "PRV" + u16(1) + good.substr(5), 1, "", "error: Old patch.  Can be read by pakrev <= 0.2.1.  Support removed before popuralized.\n"},
        {"version 5", "PRV" + u16(5) + good.substr(5), 1, "", "error: Cannot read package format.  Upgrade pakrev\n"},
        {"truncated header", "PRV\x04", 1, "", truncated},
        {"delta length 0", with([](ParsedEntry& e) { e.delta.clear(); }), 1, line + "FAILED\n", truncated},
        {"truncated delta", good.substr(0, good.size() - p.entries[0].fixup.size() - 4 - 10), 1, line + "FAILED\n", truncated},
        {"truncated fixup", good.substr(0, good.size() - 5), 1, line + "FAILED\n", truncated},
        {"unknown old kind", with([](ParsedEntry& e) { e.oldKind = 3; }), 1, line + "Can't uncompress old package.  Upgrade pakrev.\n", ""},
        {"unknown new kind", with([](ParsedEntry& e) { e.newKind = 9; }), 1, line + "Can't re-compress package.  Upgrade pakrev.\n", ""},
        {"dot-dot name", with([](ParsedEntry& e) { e.newName = "../escaped.tar.gz"; }), 1, "pkg-1.1.tar.gz -> ../escaped.tar.gz: unsafe package name in patch.\n", ""},
        {"absolute name", with([](ParsedEntry& e) { e.oldName = "/etc/passwd"; }), 1, "/etc/passwd -> pkg-1.2.tar.gz: unsafe package name in patch.\n", ""},
        {"empty name", with([](ParsedEntry& e) { e.newName = ""; }), 1, "pkg-1.1.tar.gz -> : unsafe package name in patch.\n", ""},
        {"wrong old digest", with([](ParsedEntry& e) { e.oldMd5[0] ^= 1; }), 1, line + "previous package is corrupt\n", ""},
        {"delta of no known format", with([](ParsedEntry& e) { e.delta = "garbage!"; }), 1, line + "FAILED\n", "Unknown delta format used.  Try upgrading pakrev\n"},
        {"damaged delta", with([](ParsedEntry& e) { e.delta = "SGD" + u16(1) + "\x04" + u32(0) + u32(100) + u32(0) + "short"; }), 1,
         line + "Error.  patchfile is truncated\nError applying patch\n", ""},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(pub / "h.prv", c.bytes);
        RunResult r = pakrev("-p -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "h.prv"), work.path());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(listDir(work.path()).empty());
        EXPECT_FALSE(exists(pub.path() + "/../escaped.tar.gz"));
    }
}

TEST_F(ApplyTest, NamesWithShellCharactersAreJustNames) {
    const std::string odd = "pkg 1;touch pwned$(touch pwned2)`touch pwned3`'.tar";
    std::string tarPath = makeReleaseTar(pub.path(), "one", 1);
    std::string tar2 = makeReleaseTar(pub.path(), "two", 2);
    runShell("cp " + shellQuote(tarPath) + " " + shellQuote(mirror / odd));
    runShell("cp " + shellQuote(tarPath) + " " + shellQuote(pub / odd));
    runShell("cp " + shellQuote(tar2) + " " + shellQuote(pub / ("new " + odd)));
    RunResult r = pakrev("-m " + shellQuote(odd) + " " + shellQuote("new " + odd) + " p", pub.path());
    ASSERT_EQ(r.status, 0) << r.err;
    r = pakrev("-p -D " + shellQuote(mirror.path()) + " " + shellQuote(pub / "p"), work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(work / ("new " + odd)), readFile(tar2));
    for (const ScratchDir* d : {&pub, &mirror, &work})
        for (const char* bad : {"pwned", "pwned2", "pwned3"}) EXPECT_FALSE(exists(d->path() + "/" + bad));
}

// Names that begin with "-" reach every program as paths, never as options.
TEST_F(ApplyTest, NamesThatLookLikeOptions) {
    std::string patch = makePatch(1, 2, "gz9", "", "p");
    ParsedPatch p = parsePatch(readFile(patch));
    ASSERT_TRUE(p.ok);
    p.entries[0].oldName = "-old.tar.gz";
    p.entries[0].newName = "-new.tar.gz";
    writeFile(pub / "dash.prv", buildPatch(4, p.entries));
    runShell("cp " + shellQuote(pub / packageName(1, "gz9")) + " ./-old.tar.gz", work.path());
    RunResult r = pakrev("-p " + shellQuote(pub / "dash.prv"), work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-old.tar.gz -> -new.tar.gz: OK\n");
    EXPECT_EQ(readFile(work / "-new.tar.gz"), readFile(pub / packageName(2, "gz9")));
}

TEST_F(ApplyTest, PatchFileContainers) {
    std::string patch = makePatch(1, 2, "tar", "", "p");
    toMirror(1, "tar");
    std::string dirArg = "-D " + shellQuote(mirror.path()) + " ";
    // A tar whose members are a patch and then a text file: the patch is
    // applied, then the run stops at the text.
    writeFile(pub / "notes.txt", "just text\n");
    runShell("tar -cf mixed.tar p notes.txt", pub.path());
    RunResult r = pakrev("-p " + dirArg + shellQuote(pub / "mixed.tar"), work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "pkg-1.1.tar -> pkg-1.2.tar: OK\n");
    EXPECT_EQ(r.err.find("cannot read file "), 0u);
    expectRebuilt(2, "tar");
    runShell("rm -f " + shellQuote(work / "pkg-1.2.tar"));

    // A tar without its two end blocks still ends.
    runShell("tar -cf p.tar p && head -c $(( $(stat -c %s p.tar) - 1024 )) p.tar > noend.tar", pub.path());
    ASSERT_EQ(readFile(pub / "noend.tar").size() % 512, 0u);
    r = pakrev("-p " + dirArg + shellQuote(pub / "noend.tar"), work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar -> pkg-1.2.tar: OK\n");
    runShell("rm -f " + shellQuote(work / "pkg-1.2.tar"));

    // Deep nesting: gzip of a tar of a bzip2 of a tar of a gzip of the patch.
    ASSERT_EQ(runShell("gzip -c p > l1.gz && tar -cf l2.tar l1.gz && bzip2 -c l2.tar > l3.bz2 && "
                       "tar -cf l4.tar l3.bz2 && gzip -c l4.tar > deep.gz",
                       pub.path())
                  .status,
              0);
    r = pakrev("-p " + dirArg + shellQuote(pub / "deep.gz"), work.path());
    EXPECT_EQ(r.out, "pkg-1.1.tar -> pkg-1.2.tar: OK\n");
    expectRebuilt(2, "tar");

    // Files that are not patches at all.
    struct NotAPatch { const char* name; std::string bytes; };
    const NotAPatch others[] = {{"text", "hello\n"}, {"zip", std::string("PK\x03\x04rest", 8)},
                                {"xdelta", "%XDZ004"}, {"segdiff", "SGD\x01"}, {"empty", ""}};
    for (const NotAPatch& o : others) {
        SCOPED_TRACE(o.name);
        writeFile(pub / "x", o.bytes);
        r = pakrev("-p " + shellQuote(pub / "x"), work.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "cannot read file " + pub / "x" + "\n");
    }
    r = pakrev("-p " + shellQuote(pub / "nothere"), work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "file is missing: " + pub / "nothere" + "\n");
}

}  // namespace
