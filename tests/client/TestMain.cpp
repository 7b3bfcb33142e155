// Each test process gets its own object namespace, so that test runs never meet one another or a
// running driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const std::string space = "qclient" + std::to_string(getpid());
    setenv("RTSS_NAMESPACE", space.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
