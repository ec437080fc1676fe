// pakrev -m: the patch's bytes field by field, the compressed outputs, the
// choice of a delta of the compressed files, and every way the pipeline
// refuses to run.
#include <gtest/gtest.h>

#include "private_path.h"
#include "scenario.h"

using namespace testsupport;
using namespace scenario;

namespace {

class MakeTest : public ScenarioTest {
protected:
    ScratchDir dir;  // the working directory of every run

    ParsedPatch patchBytes(const std::string& name) { return parsePatch(readFile(dir / name)); }
};

struct LayoutCase {
    const char* kind;       // package kind as made by packageFrom
    uint16_t kindCode;
    uint32_t flags;
    bool segdiff;
};

TEST_F(MakeTest, PatchLayoutFieldByField) {
    const LayoutCase cases[] = {
        {"tar", 0, 2, false}, {"gz9", 2, 3, false}, {"gz6", 2, 3, true}, {"gz1", 2, 3, false},
        {"bz29", 1, 2, false}, {"bz21", 1, 2, true},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.kind);
        std::string oldPkg = makePackage(dir.path(), 1, c.kind);
        std::string newPkg = makePackage(dir.path(), 2, c.kind);
        RunResult r = pakrev(std::string(c.segdiff ? "-mj " : "-m ") + oldPkg + " " + newPkg + " p", dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Patch is "), std::string::npos);
        EXPECT_NE(r.out.find(" times smaller.\n"), std::string::npos);

        ParsedPatch p = patchBytes("p");
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(readFile(dir / "p").substr(0, 5), std::string("PRV\x04\x00", 5));
        ASSERT_EQ(p.entries.size(), 1u);
        const ParsedEntry& e = p.entries[0];
        EXPECT_EQ(e.oldName, oldPkg);
        EXPECT_EQ(e.newName, newPkg);
        // The old digest covers the old package unpacked to a tar.
        runShell("(gunzip -c " + oldPkg + " 2>/dev/null || bunzip2 -c " + oldPkg +
                     " 2>/dev/null || cat " + oldPkg + ") > old-unpacked",
                 dir.path());
        EXPECT_EQ(md5Hex(e.oldMd5), md5Hex(md5Raw(dir / "old-unpacked")));
        EXPECT_EQ(md5Hex(e.newMd5), md5Hex(md5Raw(dir / newPkg)));  // the published bytes
        EXPECT_EQ(e.oldKind, c.kindCode);
        EXPECT_EQ(e.newKind, c.kindCode);
        EXPECT_EQ(e.flags, c.flags);
        EXPECT_EQ(e.delta.substr(0, c.segdiff ? 3 : 4), c.segdiff ? "SGD" : "%XDZ");
        std::string kind = c.kind;
        if (kind.rfind("bz2", 0) == 0) {
            EXPECT_EQ(e.newParams, static_cast<uint32_t>(kind[3] - '0'));  // block size, no release bits
            EXPECT_TRUE(e.fixup.empty());
        } else if (kind.rfind("gz", 0) == 0) {
            EXPECT_GE(e.newParams, 1u);
            EXPECT_LE(e.newParams, 9u);
            EXPECT_FALSE(e.fixup.empty());
            EXPECT_LE(e.fixup.size(), 1024u);
            EXPECT_EQ(e.fixup.substr(0, c.segdiff ? 3 : 4), c.segdiff ? "SGD" : "%XDZ");
        }
        if (kind == "gz9") {
            EXPECT_EQ(e.newParams, 9u);
        }
        expectNoPartialFiles(dir.path());
        runShell("rm -f " + shellQuote(dir / "p"));
    }
}

TEST_F(MakeTest, CompressedPatchesAreRealStreamsOfThePlainPatch) {
    std::string oldPkg = makePackage(dir.path(), 1, "gz9");
    std::string newPkg = makePackage(dir.path(), 2, "gz9");
    ASSERT_EQ(pakrev("-m " + oldPkg + " " + newPkg + " plain", dir.path()).status, 0);
    ASSERT_EQ(pakrev("-m -b 9 " + oldPkg + " " + newPkg + " p.bz2", dir.path()).status, 0);
    ASSERT_EQ(pakrev("-mg 1 " + oldPkg + " " + newPkg + " p.gz", dir.path()).status, 0);
    EXPECT_EQ(readFile(dir / "p.bz2").substr(0, 4), "BZh9");
    EXPECT_EQ(readFile(dir / "p.gz").substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(runShell("bunzip2 -c p.bz2 | cmp - plain", dir.path()).status, 0);
    EXPECT_EQ(runShell("gunzip -c p.gz | cmp - plain", dir.path()).status, 0);
}

TEST_F(MakeTest, Bzip2ReleaseTestRecordsWhichReleasesReproduce) {
    // A private PATH: a faithful 1.0.6, a 1.0.5 whose output differs, and a
    // bzip2recover without a version line.
    ScratchDir fake;
    writeFakeBzip2(fake / "bzip2-106", "1.0.6");
    writeFakeBzip2(fake / "bzip2-105", "1.0.5", "/bin/bzip2 \"$@\"; echo x");
    writeScript(fake / "bzip2recover", "echo 'bzip2recover: extracts blocks'\n");
    PrivateSearchPath path({fake.path()}, {"cat", "sh", "find", "tr", "grep", "echo", "xdelta", "bunzip2",
                                           "rm", "cmp", "mv", "tar", "gzip", "gunzip"});

    std::string oldPkg = makePackage(dir.path(), 1, "bz29");
    std::string newPkg = makePackage(dir.path(), 2, "bz29");
    RunResult r = pakrev("-mev " + oldPkg + " " + newPkg + " p", dir.path(), "PATH=" + shellQuote(path.value()));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("found working bzip2 compression format: 1.0.6\n"), std::string::npos);
    EXPECT_NE(r.out.find("bzip2 compression format: 1.0.5 does not work\n"), std::string::npos);
    ParsedPatch p = patchBytes("p");
    ASSERT_TRUE(p.ok);
    const uint32_t tested5 = 0x80000000u >> 10, works5 = 0x40000000u >> 10;
    const uint32_t tested4 = 0x80000000u >> 8;
    EXPECT_EQ(p.entries[0].newParams, 9u | tested4 | tested5 | works5);
}

TEST_F(MakeTest, NamesWithAPathWarnOnceAndAreStoredAsGiven) {
    runShell("mkdir a b", dir.path());
    std::string oldPkg = makePackage(dir / "a", 1, "tar");
    std::string newPkg = makePackage(dir / "b", 2, "tar");
    RunResult r = pakrev("-m a/" + oldPkg + " b/" + newPkg + " p", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Warning: don't prefix packages with a path.  Use the -d and -D options\n"), 0u);
    EXPECT_EQ(r.out.find("Warning", 1), std::string::npos);
    ParsedPatch p = patchBytes("p");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.entries[0].oldName, "a/" + oldPkg);
    EXPECT_EQ(p.entries[0].newName, "b/" + newPkg);
}

TEST_F(MakeTest, DirectoriesOptions) {
    runShell("mkdir new old", dir.path());
    std::string oldPkg = makePackage(dir / "old", 1, "gz9");
    std::string newPkg = makePackage(dir / "new", 2, "gz9");
    RunResult r = pakrev("-m -d new -D old " + oldPkg + " " + newPkg + " p", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    ParsedPatch p = patchBytes("p");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.entries[0].oldName, oldPkg);  // stored without the directory
    // -d alone: both packages come from it.
    runShell("cp old/" + oldPkg + " new/", dir.path());
    EXPECT_EQ(pakrev("-m -d new " + oldPkg + " " + newPkg + " q", dir.path()).status, 0);
}

struct FailureCase {
    const char* name;
    const char* setup;   // shell commands run in the working directory first
    const char* args;    // after "-m"
    const char* message; // expected on standard error
};

TEST_F(MakeTest, FatalChecksInOrder) {
    std::string oldPkg = makePackage(dir.path(), 1, "gz9");
    std::string newPkg = makePackage(dir.path(), 2, "gz9");
    runShell("cp " + oldPkg + " old.tar.gz && cp " + newPkg + " new.tar.gz", dir.path());
    const FailureCase cases[] = {
        {"two old dirs", "", "-D 'x y' old.tar.gz new.tar.gz p", "error: multiple dirs not supported with the -m option\n"},
        {"output exists", "echo keep > p", "old.tar.gz new.tar.gz p", "error: output file already exists\n"},
        {"output not writable", "mkdir -p ro && chmod 555 ro", "old.tar.gz new.tar.gz ro/p", "error: Access denied to output file\n"},
        {"missing first", "", "nothere.tar.gz new.tar.gz p2", "error: cannot access first input file\n"},
        {"missing second", "", "old.tar.gz nothere.tar.gz p2", "error: cannot access second input file\n"},
        {"damaged first", "echo junk > bad.tar.gz", "bad.tar.gz new.tar.gz p2", "error: Cannot read first input file.  Error encountered during decompression\n"},
        {"damaged second", "echo junk > bad.tar.bz2", "old.tar.gz bad.tar.bz2 p2", "error: Cannot read second input file.  Error encountered during decompression\n"},
        {"both damaged", "echo junk > bad.tar.gz && echo junk > bad.tar.bz2", "bad.tar.gz bad.tar.bz2 p2", "error: Cannot read first input file.  Error encountered during decompression\n"},
        {"zip beside a damaged first", "echo junk > bad.tar.gz && cp new.tar.gz new.zip", "bad.tar.gz new.zip p2", "error: Cannot read first input file.  Error encountered during decompression\n"},
        {"zip", "cp old.tar.gz old.zip", "old.zip new.tar.gz p2", "error: zip files are unsupported (pardon the pun!)\n"},
        {".Z", "cp new.tar.gz new.tar.Z", "old.tar.gz new.tar.Z p2", "error: .Z compression not supported\n"},
    };
    // One step after the other, and the unpackings at the same time.
    for (const char* threads : {"-T 1 ", "-T 2 "})
        for (const FailureCase& c : cases) {
            SCOPED_TRACE(std::string(threads) + c.name);
            // root writes anywhere: the unwritable-directory case cannot be shown.
            if (geteuid() == 0 && std::string(c.name) == "output not writable") continue;
            if (*c.setup) runShell(c.setup, dir.path());
            RunResult r = pakrev(std::string("-m ") + threads + c.args, dir.path());
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.message);
            EXPECT_FALSE(exists(dir / "p2"));
            expectNoPartialFiles(dir.path());
        }
    EXPECT_EQ(readFile(dir / "p"), "keep\n");  // untouched
}

// The old package fails to unpack while the new one is still being
// unpacked beside it: the run ends with the old package's message, and the
// other unpacking (a slow fake bunzip2) is stopped with its whole group.
TEST_F(MakeTest, AFailedUnpackingStopsTheOneBesideIt) {
    std::string newPkg = makePackage(dir.path(), 2, "bz29");
    runShell("echo junk > bad.tar.gz", dir.path());
    ScratchDir fake;
    std::string group = fake / "group";
    // The old package's gunzip fails after a while, once the fake bunzip2
    // runs.
    writeScript(fake / "bunzip2", "ps -o pgid= -p $$ > " + shellQuote(group) + ".new && mv " +
                                      shellQuote(group) + ".new " + shellQuote(group) + "\nexec sleep 120\n");
    writeScript(fake / "gunzip", "while ! test -s " + shellQuote(group) + "; do sleep 0.05; done\nexit 1\n");
    PrivateSearchPath search({fake.path(), binDir()}, {"sh", "cat", "rm", "mv", "test", "ps", "sleep"});
    RunResult r = pakrev("-m -T 2 bad.tar.gz " + newPkg + " p", dir.path(), "PATH=" + shellQuote(search.value()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: Cannot read first input file.  Error encountered during decompression\n");
    EXPECT_FALSE(exists(dir / "p"));
    ASSERT_TRUE(exists(group));
    pid_t pgid = static_cast<pid_t>(atol(readFile(group).c_str()));
    ASSERT_GT(pgid, 1);
    EXPECT_EQ(kill(-pgid, 0), -1) << "the other unpacking is still running";
}

TEST_F(MakeTest, MissingProgramsAndFailedDeltas) {
    std::string oldPkg = makePackage(dir.path(), 1, "tar");
    std::string newPkg = makePackage(dir.path(), 2, "tar");
    ScratchDir fake;
    // No xdelta and no segdiff among the tools.
    PrivateSearchPath search({fake.path()}, {"cat", "sh", "rm", "cmp", "mv", "gzip", "gunzip", "bunzip2", "bzip2"});
    std::string path = "PATH=" + shellQuote(search.value());

    RunResult r = pakrev("-m " + oldPkg + " " + newPkg + " p", dir.path(), path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: A required executable, xdelta, was not found\n");
    r = pakrev("-mj " + oldPkg + " " + newPkg + " p", dir.path(), path);
    EXPECT_NE(r.err.find("error: A required executable, segdiff, was not found\n"), std::string::npos);

    // A delta program that writes nothing: refused, not stored as an empty delta.
    writeScript(fake / "xdelta", "exit 1\n");
    r = pakrev("-m " + oldPkg + " " + newPkg + " p", dir.path(), path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: cannot make package delta\n");
    EXPECT_FALSE(exists(dir / "p"));
    expectNoPartialFiles(dir.path());
}

TEST_F(MakeTest, ForceReplacesAnExistingPatchOnlyWhenComplete) {
    std::string oldPkg = makePackage(dir.path(), 1, "tar");
    std::string newPkg = makePackage(dir.path(), 2, "tar");
    writeFile(dir / "p", "old patch");
    // A failing run with -f keeps the existing file.
    RunResult r = pakrev("-mf missing.tar " + newPkg + " p", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir / "p"), "old patch");
    r = pakrev("-mfv " + oldPkg + " " + newPkg + " p", dir.path());
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(parsePatch(readFile(dir / "p")).ok);
    EXPECT_NE(r.out.find("Looking at package contents\nMaking package delta\nEnsuring MD5sum will be correct\nOutput package to: p\nAll done\nPatch is "),
              std::string::npos)
        << r.out;
    expectNoPartialFiles(dir.path());
}

// Releases that share no text: the delta of the tars is about as large as
// the new tar, several times its compressed package.
TEST_F(MakeTest, KeepsTheDeltaOfTheCompressedFilesWhenItIsTheSmallerPatch) {
    struct Case {
        const char* kind;
        const char* options;
        bool opaqueKept;  // false: the compressed delta of the tars is smaller
    } cases[] = {
        {"gz9", "-m", true}, {"bz29", "-m", true}, {"gz9", "-m -b 9", false},
    };
    const std::string note =
        "the delta of the tars is larger than the package: the patch holds a delta of the "
        "compressed files\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.options);
        std::string packages[2];
        for (int release = 1; release <= 2; ++release) {
            std::string name = "pkg-1." + std::to_string(release);
            runShell("mkdir -p " + shellQuote(dir / name));
            writeFile(dir / (name + "/main.c"), sourceLikeText(150000, 40 + release));
            runShell("tar --owner=0 --group=0 --mtime=@1000000 -cf " + name + ".tar " + name +
                         " && rm -rf " + name,
                     dir.path());
            packages[release - 1] = packageFrom(dir / (name + ".tar"), c.kind);
        }
        std::string published = readFile(dir / packages[1]);
        RunResult r = pakrev(std::string(c.options) + " " + packages[0] + " " + packages[1] + " p",
                             dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find(note) != std::string::npos, c.opaqueKept) << r.err;
        ASSERT_EQ(runShell("(bunzip2 -c p 2>/dev/null || cat p) > plain", dir.path()).status, 0);
        ParsedPatch p = patchBytes("plain");
        ASSERT_TRUE(p.ok);
        ASSERT_EQ(p.entries.size(), 1u);
        const ParsedEntry& e = p.entries[0];
        if (c.opaqueKept) {
            // As when no setting reproduces a package: both travel as bytes.
            EXPECT_EQ(e.oldKind, 0);
            EXPECT_EQ(e.newKind, 0);
            EXPECT_EQ(e.newParams, 0u);
            EXPECT_EQ(e.flags, 2u);
            EXPECT_TRUE(e.fixup.empty());
            EXPECT_EQ(md5Hex(e.oldMd5), md5Hex(md5Raw(dir / packages[0])));
            EXPECT_LT(readFile(dir / "p").size(), published.size() + 1024);
        } else {
            EXPECT_NE(e.oldKind, 0);
            EXPECT_NE(e.newKind, 0);
        }
        runShell("rm " + shellQuote(dir / packages[1]));
        RunResult applied = pakrev("-p p", dir.path());
        EXPECT_EQ(applied.status, 0) << applied.out << applied.err;
        EXPECT_TRUE(readFile(dir / packages[1]) == published);
        expectNoPartialFiles(dir.path());
        runShell("rm -f p plain *.tar *.gz *.bz2", dir.path());
    }
}

}  // namespace
