// The apply pipeline's answer to a patch header it cannot take.
#include <gtest/gtest.h>

#include "apply/apply.h"
#include "memory_streams.h"
#include "patchfile/patchfile.h"

using testsupport::Bytes;
using testsupport::MemoryIStream;

TEST(PatchStreamDeathTest, RejectsNewerVersions) {
    for (uint16_t version : {5, 256, 65535}) {
        MemoryIStream in(Bytes().raw("PRV").u16(version).u16(1).s);
        ApplyRun run;
        EXPECT_EXIT(applyPatchStream(run, in), testing::ExitedWithCode(1),
                    "^error: Cannot read package format.  Upgrade pakrev\n$")
            << "version " << version;
    }
}

TEST(PatchStreamDeathTest, RejectsWrongMagic) {
    for (const char* start : {"PKR\x04", "PRv\x04", "prv\x04", "PR", "", "\x1f\x8b\x08"}) {
        MemoryIStream in(start);
        ApplyRun run;
        EXPECT_EXIT(applyPatchStream(run, in), testing::ExitedWithCode(1),
                    "^error: Invalid patch file\n$")
            << start;
    }
}
