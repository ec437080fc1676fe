// The make pipeline: pakrev -m old new patch.
#pragma once

#include <cstdint>
#include <string>

// Makes one patch from the old and the new package into patchName. Fatal
// problems end the run through errorExit; the patch appears under its name
// only when it is complete.
void makePatch(const std::string& oldName, const std::string& newName,
               const std::string& patchName);

// Tries every discovered bzip2 release (slot 0 up) on the new tar at the
// package's block size and returns the BZIP2_TESTED / BZIP2_WORKS bits for
// the parameter word. scratchPath is a workspace name the trial may use.
uint32_t testBzip2Releases(const std::string& newTarPath, const std::string& newPackagePath,
                           int blockSize, const std::string& scratchPath);
