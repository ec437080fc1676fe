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
