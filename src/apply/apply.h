// The apply pipeline: opening and unwrapping patch files, applying their
// entries, and rebuilding and verifying the new packages.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "package/package.h"
#include "stream/stream.h"

// The state of one apply run, owned by the driver and passed down.
struct ApplyRun {
    // Deferred rebuilds (-r), first in first out. The queue owns its
    // records; a record taken out of it is destroyed by whoever takes it.
    std::list<std::unique_ptr<PackageInfo>> rebuildQueue;
    // Set when a rebuild failed; the run then ends with status 1.
    bool anyRebuildFailed = false;
};

// Applies every patch found in the file: plain, gzip or bzip2 compressed, or
// a tar archive of such files, in any nesting. Ends the run for files that
// are missing ("file is missing: %s") or of no known kind ("cannot read
// file %s").
void applyPatchFile(ApplyRun& run, const std::string& path);

// Spools a stream into a workspace file and applies that file.
void applyViaTempFile(ApplyRun& run, IStream& in);

// Applies every entry of a patch stream that starts with "PRV". Ends the
// run with "Invalid patch file", "Cannot read package format.  Upgrade
// pakrev" or the "Old patch" message when the header says so.
void applyPatchStream(ApplyRun& run, IStream& in);

// Rebuilds every queued package in queue order and empties the queue.
void drainRebuildQueue(ApplyRun& run);

// Recompresses the patched tar as recorded, verifies it and moves it into
// place atomically. Returns true when the package was placed; on failure
// prints the reason on standard error and leaves the destination untouched.
bool rebuildPackage(PackageInfo& package);
