// Test entry: every test program works inside its own workspace, as pakrev does.
#include <gtest/gtest.h>

#include "runtime/runtime.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    createWorkspace();
    return RUN_ALL_TESTS();
}
