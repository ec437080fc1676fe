// The make pipeline: pakrev -m old new patch.
#pragma once

#include <string>

// Makes one patch from the old and the new package into patchName. Fatal
// problems end the run through errorExit; the patch appears under its name
// only when it is complete and reads back (decompressed) as written. True
// when the patch was placed; false after "Couldn't output patch".
bool makePatch(const std::string& oldName, const std::string& newName,
               const std::string& patchName);
