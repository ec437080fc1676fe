// Delta engines: the command lines of the external delta programs (xdelta,
// and our own segdiff maker), and the built-in applier of segdiff deltas.
#pragma once

#include <cstdint>
#include <string>

#include "delta/segdiff_format.h"

enum DeltaResult { APPLY_OK = 0, APPLY_FAILED = 1, APPLY_BAD_FORMAT = 2 };

// Writes a delta from oldPath to newPath into deltaPath with segdiff (when
// useSegdiff) or "xdelta delta -0 --pristine". Returns the wait status.
// deltaMade tells from it whether the delta was written: segdiff exits 0,
// xdelta 0 (files equal) or 1 (files differ); anything else, and a death by
// a signal, is a failure.
bool deltaMade(bool useSegdiff, int status);
// The progress line names the step `stepName`.
int makeDelta(bool useSegdiff, const std::string& oldPath, const std::string& newPath,
              const std::string& deltaPath, const char* stepName = "delta");

// Rebuilds outputPath from referencePath and the delta, chosen by the delta's
// leading bytes: "SGD" goes to the built-in applier, "%XDZ" to "xdelta patch";
// anything else is APPLY_BAD_FORMAT and nothing runs. The progress line
// names the step `stepName` and takes the reference's size as the
// output's.
DeltaResult applyDelta(const std::string& referencePath, const std::string& outputPath,
                       const std::string& deltaPath, const char* stepName = "delta");

// True when "cmp FIRST SECOND" exits 0.
bool filesIdentical(const std::string& first, const std::string& second);

// ---- segdiff deltas (format in delta/segdiff_format.h) -------------------

// Applies a segdiff delta. Returns 0 when the output was rebuilt, 1 when a
// file cannot be opened, the header is not acceptable or the records would
// write more than the declared output size (nothing is written then), -1
// when data ran out (also for a delta that ends inside its header or record
// table, or whose literal bytes are not all in the file) or the output could
// not be written. Never writes more than the declared output size. Messages
// go to standard output.
int applySegdiffPatch(const std::string& referencePath, const std::string& outputPath,
                      const std::string& deltaPath);
