// Shared pieces of the scenario tests: real packages made here with tar,
// gzip and bzip2, a reader of patch bytes that knows nothing of pakrev's own
// code, and a writer of hand-made patches of every version.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "test_support.h"

namespace scenario {

// Makes a release tree under dir/<name>/ from a seed (release n+1 of the
// same seed keeps most files and changes a few), tars it to dir/<name>.tar
// and returns the tar path.
std::string makeReleaseTar(const std::string& dir, const std::string& name, int release,
                           size_t approxBytes = 60000);

// Compresses a tar into a package next to it: kind "tar" (copy to .tar as
// is), "gz<level>" (GNU gzip -n) or "bz2<level>". Returns the package's
// file name (no directory).
std::string packageFrom(const std::string& tarPath, const std::string& kind);

// Release name "pkg-1.<release>" packaged as `kind` in dir: returns the file name.
std::string makePackage(const std::string& dir, int release, const std::string& kind,
                        size_t approxBytes = 60000);

struct ParsedEntry {
    std::string oldName, newName;
    std::string oldMd5, newMd5;  // 16 raw bytes each, empty before version 4
    uint16_t oldKind = 0, newKind = 0;
    uint32_t newParams = 0, flags = 0;
    std::string delta, fixup;
    std::string params;  // the parameter block (flag 4)
};

struct ParsedPatch {
    bool ok = false;        // the bytes parsed completely, with nothing left over
    uint16_t version = 0;
    std::vector<ParsedEntry> entries;
};

// Parses an uncompressed patch file's bytes.
ParsedPatch parsePatch(const std::string& bytes);

// Writes a patch of any version from entries (digests written only for
// version 4; an entry count only for version 2).
std::string buildPatch(uint16_t version, const std::vector<ParsedEntry>& entries);

std::string md5Hex(const std::string& rawDigest);
std::string md5Raw(const std::string& path);  // 16 raw bytes of the file's MD5

// Base of the scenario fixtures: every run of pakrev gets a TMPDIR of its
// own, which must be empty again when the run is over.
class ScenarioTest : public ::testing::Test {
protected:
    testsupport::ScratchDir tmp;  // TMPDIR of every run

    // Runs the built pakrev with args (already shell-quoted) in cwd, with
    // TMPDIR=tmp and the further env words (see testsupport::runPakrev),
    // and expects no workspace left behind in tmp.
    testsupport::RunResult pakrev(const std::string& args, const std::string& cwd,
                                  const std::string& env = "");
};

// Expects no file in dir to be a partial file of a run (name holding ".pakrev-").
void expectNoPartialFiles(const std::string& dir);

// Little-endian encodings of the patch format's integers.
std::string u16(uint16_t v);
std::string u32(uint32_t v);

}  // namespace scenario
