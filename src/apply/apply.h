// The apply pipeline: opening and unwrapping patch files, applying their
// entries, and rebuilding and verifying the new packages.
#pragma once

#include <string>

#include "stream/stream.h"

struct PackageInfo;

// Applies every patch found in the file: plain, gzip or bzip2 compressed, or
// a tar archive of such files, in any nesting. Ends the run for files that
// are missing ("file is missing: %s") or of no known kind ("cannot read
// file %s").
void applyPatchFile(const std::string& path);

// Spools a stream into a workspace file and applies that file.
void applyViaTempFile(IStream& in);

// Applies every entry of a patch stream that starts with "PRV".
void applyPatchStream(IStream& in);

// Recompresses the patched tar as recorded, verifies it and moves it into
// place atomically. Returns true when the package was placed; on failure
// prints the reason on standard error and leaves the destination untouched.
bool rebuildPackage(PackageInfo& package);
