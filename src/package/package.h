// Package compression: the package record, unpacking a package to a plain
// tar by its file-name ending, and the gzip level search that makes a gzip
// package reproducible.
#pragma once

#include <cstdint>
#include <string>

#include "stream/stream.h"

// One package while a patch is made or applied.
struct PackageInfo {
    std::string directory;  // prefix: empty or ending in "/"
    std::string fileName;
    std::string tarPath;    // workspace path of the package as a plain tar
    uint32_t kind = 0;      // KIND_TAR, KIND_BZIP2, KIND_GZIP, KIND_BZIP2_OLD
    uint32_t params = 0;    // newParams of a new package
    std::string fixupPath;  // workspace path of the gzip fixup, or empty
    bool hasMd5 = false;
    Md5Digest md5{};

    std::string fullPath() const { return directory + fileName; }
};

bool endsWith(const std::string& text, const std::string& ending);

// Gives the record a fresh workspace tarPath and unpacks fullPath() into it.
// Sets kind from the file-name ending; true when the decompressor succeeded.
bool unpack(PackageInfo& package);

// Decides the kind from the ending ("bz2", "gz"; "zip", "lzw", ".Z" end the
// run; anything else is a plain tar), stores it in kind, then decompresses.
bool unpackPackage(const std::string& packagePath, const std::string& destination,
                   uint32_t& kind);

// bunzip2 / gunzip / cat into the destination; false for other kinds.
bool decompressToFile(uint32_t kind, const std::string& source, const std::string& destination);

// ---- Gzip parameter recovery --------------------------------------------

constexpr char GZIP_LEVEL_ORDER[] = "968712534";
constexpr uint32_t FIXUP_LIMIT = 1024;

// Compresses the tar with GNU gzip at the level digit and writes everything
// after the gzip header to outputPath. False only when no GNU gzip is known
// (nothing written then). An output too short to hold its header leaves an
// empty outputPath.
bool recompressGzipHeaderless(const std::string& tarPath, const std::string& outputPath,
                              char levelDigit);

// Tries the levels of GZIP_LEVEL_ORDER until the fixup delta from the
// headerless recompression to the package is at most FIXUP_LIMIT bytes; the
// accepted fixup stays in fixupPath, the scratch file is removed. Returns the
// level 1-9. Ends the run with "Can't find GNU gzip" or "Unknown gzip
// compression format".
int findGzipLevel(const std::string& newTarPath, const std::string& newPackagePath,
                  const std::string& scratchPath, const std::string& fixupPath, bool useSegdiff);
