#include <gtest/gtest.h>

#include <filesystem>

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

// A host setting that cannot be used stops the driver with exit code 2 and a line naming it,
// before any object is made.
TEST(DriverStartup, UnusableHostSettingsStopItBeforeAnythingIsMade) {
    const std::string space = systest::UniqueNamespace("set");
    const std::string notOctal = "RTSS_OBJECT_MODE: not an octal mode such as 0660\n";
    const std::string tooWide = "RTSS_OBJECT_MODE: only read and write bits (at most 0666) may be given\n";
    const std::string badName = "RTSS_NAMESPACE: only letters, digits, '.', '_' and '-' may appear in it\n";
    const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases = {
        {{{"RTSS_OBJECT_MODE", "zz9"}}, notOctal},
        {{{"RTSS_OBJECT_MODE", "77777777777"}}, tooWide},
        {{{"RTSS_OBJECT_MODE", "0664"}}, ""},
        {{{"RTSS_OBJECT_MODE", "0755"}}, tooWide},
        {{{"RTSS_NAMESPACE", "a/b"}}, badName},
        {{{"RTSS_NAMESPACE", std::string(300, 'n')}},
         "RTSS_NAMESPACE: longer than 100 characters (it becomes part of every object name)\n"},
        {{{"RTSS_REALTIME", "yes"}},
         "RTSS_REALTIME: 1 gives real-time priorities, 0 or unset normal scheduling\n"},
        {{{"RTSS_FAULTS", "attach"}}, "RTSS_FAULTS: \"attach\" is not OPERATION:N (operations: "
                                      "allocation, translation, mapping, shm, semaphore, mutex, "
                                      "thread, priority, attach)\n"},
    };
    for (const auto& [settings, message] : cases) {
        std::map<std::string, std::string> env = {{"RTSS_NAMESPACE", space}};
        for (const auto& [name, value] : settings) env[name] = value;
        systest::DriverProcess driver({"-Q", "5"}, env);
        if (message.empty()) {  // usable: the driver starts
            EXPECT_TRUE(driver.WaitForOutput("Serial7 driver loaded\n", 15s));
            EXPECT_EQ(driver.Terminate(), 0);
            continue;
        }
        EXPECT_EQ(driver.WaitForExit(10s), 2) << message;
        EXPECT_EQ(driver.Output(), message);
    }
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        EXPECT_EQ(entry.path().filename().string().find(space), std::string::npos)
            << entry.path();
    }
}

TEST(DriverStartup, ParksUntilTheEndingSignalAndEndsCleanly) {
    systest::DriverProcess driver({"-Q", "9"}, {{"RTSS_NAMESPACE", systest::UniqueNamespace("p")}});
    EXPECT_EQ(driver.WaitForExit(300ms), -1) << "the main thread parks instead of ending";
    EXPECT_EQ(driver.Terminate(), 0);
}

}  // namespace
