// The functions behind the rows of the kind table (kinds.cpp). Callers go
// through the table in package.h; only the table and tests name these.
#pragma once

#include <string>

#include "package/package.h"

// tar: the package is its own tar.
bool decompressTar(const std::string& package, const std::string& tar);
void characteriseTar(const PackageInfo& newPackage, const std::string& fixupPath,
                      Characterisation& out);
bool recompressTar(const PackageInfo& package, const std::string& output);

// gzip made by GNU gzip: the level and a fixup delta for the header.
bool decompressGzip(const std::string& package, const std::string& tar);
void characteriseGzip(const PackageInfo& newPackage, const std::string& fixupPath,
                      Characterisation& out);
bool recompressGzip(const PackageInfo& package, const std::string& output);

// bzip2: the block size and, with -e, which installed releases reproduce it.
bool decompressBzip2(const std::string& package, const std::string& tar);
void characteriseBzip2(const PackageInfo& newPackage, const std::string& fixupPath,
                      Characterisation& out);
bool recompressBzip2(const PackageInfo& package, const std::string& output);

// bzip2_old: the level, recompressed with the program "bzip2_old".
bool recompressBzip2Old(const PackageInfo& package, const std::string& output);

// gzip made by other encoders (src/gzip/gzip_kinds.cpp): zlib, GNU gzip
// --rsyncable, pigz. The header and any bytes after the body are in the
// parameter block. When none of them reproduces the package, the package
// becomes kind 23 (reconstruction); when that fails too, the run ends with
// the search's message ("Unknown gzip compression format", ...).
void characteriseGzipEncoders(const PackageInfo& newPackage, Characterisation& out);
bool recompressGzipZlib(const PackageInfo& package, const std::string& output);
bool recompressGzipRsyncable(const PackageInfo& package, const std::string& output);
bool recompressGzipPigz(const PackageInfo& package, const std::string& output);
// gzip rebuilt by deflate reconstruction (kind 23), the maker's last gzip
// step: the record travels in the parameter block.
bool recompressGzipRecon(const PackageInfo& package, const std::string& output);
// xz and zstd: settings found by search, rebuilt in process (xz_kind.cpp).
bool decompressXz(const std::string& package, const std::string& tar);
void characteriseXz(const PackageInfo& newPackage, const std::string& fixupPath,
                    Characterisation& out);
bool recompressXz(const PackageInfo& package, const std::string& output);
bool decompressZstd(const std::string& package, const std::string& tar);
void characteriseZstd(const PackageInfo& newPackage, const std::string& fixupPath,
                      Characterisation& out);
bool recompressZstd(const PackageInfo& package, const std::string& output);
