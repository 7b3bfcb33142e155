// The main of every test program: its named objects go to a namespace of its own before anything
// else runs, so that no test meets another run's objects or a driver someone runs.
#include <gtest/gtest.h>

#include "tests/support/TestNamespace.h"

int main(int argc, char** argv) {
    testsupport::UseProcessNamespace();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
