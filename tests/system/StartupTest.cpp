#include <gtest/gtest.h>

#include "tests/system/DriverProcess.h"

using namespace std::chrono_literals;

namespace {

const char Usage[] =
    "Usage: \n-Q IRQ of the Quelta Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
    "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help";

TEST(DriverStartup, HelpPrintsTheUsageByteForByte) {
    systest::DriverProcess driver({"-h"}, {{"RTSS_NAMESPACE", systest::UniqueNamespace("h")}});
    EXPECT_EQ(driver.WaitForExit(10s), 0);
    EXPECT_EQ(driver.Output(), Usage);
}

TEST(DriverStartup, BadSharedValueStopsWithItsMessage) {
    systest::DriverProcess driver({"-Q", "5", "-S", "2"},
                                  {{"RTSS_NAMESPACE", systest::UniqueNamespace("s")}});
    EXPECT_EQ(driver.WaitForExit(10s), 0);
    EXPECT_EQ(driver.Output(), "IrqShare wrong value, should be 0 or 1\n");
}

TEST(DriverStartup, ParksUntilTheEndingSignalAndEndsCleanly) {
    systest::DriverProcess driver({"-Q", "9"}, {{"RTSS_NAMESPACE", systest::UniqueNamespace("p")}});
    EXPECT_EQ(driver.WaitForExit(300ms), -1) << "the main thread parks instead of ending";
    EXPECT_EQ(driver.Terminate(), 0);
}

}  // namespace
