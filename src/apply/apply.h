// The apply pipeline: opening and unwrapping patch files, applying their
// entries, and rebuilding and verifying the new packages.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "package/package.h"
#include "stream/stream.h"

// Patch files may be wrapped in at most this many layers of compression and
// tar archives (a plain patch has none); deeper files are refused.
constexpr int PATCH_NESTING_LIMIT = 32;

// The state of one apply run, owned by the driver and passed down.
struct ApplyRun {
    // Deferred rebuilds (-r), first in first out. The queue owns its
    // records; a record taken out of it is destroyed by whoever takes it.
    std::list<std::unique_ptr<PackageInfo>> rebuildQueue;
    // Set when an entry did not end with its new package in place ("OK") or
    // already there ("patch already applied."), or a deferred rebuild
    // failed; the run then ends with status 1.
    bool anyFailed = false;
    // The patch file named on the command line that is being applied: the
    // name messages give, also for what is found inside it.
    std::string patchFileName;
};

// Applies every patch found in the file: plain, gzip or bzip2 compressed, or
// a tar archive of such files, in up to PATCH_NESTING_LIMIT layers. Only one
// decompressing stream is open at a time: a compressed layer that holds a
// patch is applied as it is decompressed; one that holds another layer
// (recognised by its first bytes: gzip, bzip2 or tar) is decompressed into
// the workspace first, and anything else is refused before it is spooled.
// Ends the run for files that are missing ("file is missing: %s"), of no
// known kind ("cannot read file %s"), nested too deep ("cannot read file %s:
// more than 32 layers of compression and archives"), whose compressed data
// is cut short or damaged ("cannot read file %s: truncated or damaged
// compressed data"), or when the workspace cannot take a layer ("cannot
// write into the workspace DIR: REASON"). Every message names `path`.
void applyPatchFile(ApplyRun& run, const std::string& path);

// Applies every entry of a patch stream that starts with "PRV". Ends the
// run with "Invalid patch file", "Cannot read package format.  Upgrade
// pakrev", "patch is truncated" (also for a header cut short, and for a
// compressed stream that fails its check after the last entry) or the "Old
// patch" message when the header says so.
void applyPatchStream(ApplyRun& run, IStream& in);

// Rebuilds every queued package in queue order and empties the queue,
// printing "NAME: OK" or "NAME: FAILED" for each (the reason and "cannot
// rebuild NAME" on standard error).
void drainRebuildQueue(ApplyRun& run);

// Recompresses the patched tar as recorded, verifies it and moves it into
// place atomically. Returns true when the package was placed; on failure
// prints the reason on standard error and leaves the destination untouched.
bool rebuildPackage(PackageInfo& package);

// The reason, for a message, why the workspace cannot take more data
// ("No space left on device"), or "" when it can.
std::string workspaceWriteFailure();
