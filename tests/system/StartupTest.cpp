// The driver process from its command line to its end: the texts of start-up, exactly, the
// parked main thread, the orderly end, and host settings it cannot use.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/system/RunningDriver.h"

namespace {

using namespace systemtest;

// The named objects a driver left in its namespace, for a message that says which.
std::string NamesLeft(RunningDriver& driver) {
    std::string names;
    for (const std::string& name : testsupport::NamesIn(driver.Namespace())) names += name + " ";
    return names;
}

const char Usage[] =
    "Usage: \n-Q IRQ of the Quelta Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
    "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help";
const char NoBoard[] = "There is no Quelta board in the system.\n";
const char OtherLine[] = "Supplied IRQ is not attached to any Quelta board.\n";

struct StartCase {
    const char* name;
    std::string machine;
    std::vector<std::string> args;
    std::string console;  // the whole console output once start-up is over
    int exitCode;         // -1: parked, ended by SIGTERM with 0 and its names removed
};

// A board is found by its line on a later bus behind other functions; the first board in scan
// order on the line is served, with as many ports as its model has; names start at -P; discovery
// stops at a missing bus and at an empty function 0; a board on another line is reported as such,
// one of another vendor or subsystem vendor is not seen. Every device ID of the family is found.
TEST(DriverStartup, ConsoleOutputAndEndAreExact) {
    const std::string bridge =
        "function bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237\n";
    const std::string eight = "device-id=0x0158 subsystem=0x312 irq=5";
    // clang-format off
    const StartCase cases[] = {
        {"help", "", {"-h", "-S", "5"}, Usage, 0},
        {"shared 2", "", {"-Q", "5", "-S", "2"}, "IrqShare wrong value, should be 0 or 1\n", 0},
        {"later bus", "buses 2\n" + bridge +
                          "function bus=1 device=4 function=0 vendor=0x8086 device-id=0x1000\n" +
                          Board("bus=1 device=4 function=1", "device-id=0x0258 subsystem=0x332 irq=11"),
         {"-Q", "11"}, Loaded(0, 8), -1},
        {"first in scan order, port base, channels by model", Board("bus=0 device=5 function=0", eight) +
                          Board("bus=0 device=2 function=0", "device-id=0x0154 subsystem=0x330 irq=5"),
         {"-Q5", "-P", "255"}, Loaded(255, 2), -1},
        {"beyond a missing bus", "buses 0,2\n" + Board("bus=2 device=1 function=0", eight), {"-Q5"},
         NoBoard, -1},
        {"empty function 0", Board("bus=0 device=4 function=1", eight), {"-Q", "5"}, NoBoard, -1},
        {"another line", Board("bus=0 device=4 function=0", "device-id=0x0152 subsystem=0x300 irq=5"),
         {"-Q", "9"}, OtherLine, -1},
        {"another subsystem vendor",
         Board("bus=0 device=4 function=0", eight + " subsystem-vendor=0x1234"), {"-Q", "5"},
         NoBoard, -1},
        {"another vendor", Board("bus=0 device=4 function=0", eight + " vendor=0x1234"), {"-Q", "5"},
         NoBoard, -1},
    };
    // clang-format on
    for (const StartCase& c : cases) {
        RunningDriver driver(c.machine, c.args);
        if (c.exitCode >= 0) {
            EXPECT_EQ(driver.Process().Wait(), c.exitCode) << c.name;
        } else {
            driver.Process().WaitForOutput(c.console, 15s);
            EXPECT_EQ(driver.Process().Wait(300ms), -1) << c.name << ": parks instead of ending";
            EXPECT_EQ(driver.Process().Terminate(), 0) << c.name;
            EXPECT_EQ(NamesLeft(driver), "") << c.name;
        }
        EXPECT_EQ(driver.Process().Out(), c.console) << c.name;
    }
}

// The plain and the shareable attachment fail with the same words and exit code 1, and the names
// go with the process; a channel whose device cannot be made leaves the ones before it serving; a
// second driver with the same names serves nothing and leaves the first one serving, with its pty
// links; a driver killed outright leaves names the next one reclaims.
TEST(DriverStartup, FailuresOfSetUp) {
    for (const char* shared : {"0", "1"}) {
        RunningDriver driver(DefaultBoard, {"-Q", "5", "-S", shared},
                             {{"RTSS_FAULTS", "attach:1"}});
        EXPECT_EQ(driver.Process().Wait(15s), 1) << shared;
        EXPECT_EQ(driver.Process().Out(), Loaded(0, 8) +
                                              "RtAttachInterruptVectorEx failed 8\n"
                                              "Error: Failed to open serial port\n (0x8)\n");
        EXPECT_EQ(NamesLeft(driver), "") << "removed at the exit";
    }
    // The fourth locked allocation is channel 1's record (channel 0 took its record, its device
    // and the device's name copy): set-up stops there without a word and goes on with channel 0.
    RunningDriver partial(DefaultBoard, {"-Q", "5"}, {{"RTSS_FAULTS", "allocation:4"}});
    EXPECT_EQ(RunningDriver::Open("Serial0").GetRxCount(), 0u);
    EXPECT_EQ(partial.Process().Terminate(), 0);
    EXPECT_EQ(partial.Process().Out(), Loaded(0, 1));
    const std::string link = "/tmp/quelta-pty-" + testsupport::UniqueNamespace("own");
    RunningDriver first(std::string(sim::DefaultBoardStatement) + "channel 4 pty " + link +
                        "\nchannel 5 pty\n");
    ASSERT_TRUE(first.Process().WaitForOutput(Loaded(0, 8)));
    const std::string farEnd = std::filesystem::read_symlink(link).string();
    const std::string named = first.Process().Err();
    EXPECT_NE(named.find("pty far end of board 0 channel 4: " + farEnd + " (linked from " + link),
              std::string::npos)
        << named;
    EXPECT_NE(named.find("pty far end of board 0 channel 5: /dev/"), std::string::npos) << named;
    const DriverCommand command = Driver({"-Q", "5"});
    testsupport::ChildProcess second(
        command.program, command.arguments,
        {{"QUELTA_SIM", first.MachinePath()}, {"RTSS_NAMESPACE", first.Namespace()}});
    const std::string refused =
        "Failed to register Quelta driver (error=183).\n"
        "Driver by this name is already loaded.\n"
        "Quelta board set-up failed: no port is served.\n";
    second.WaitForOutput(refused);
    EXPECT_EQ(second.Terminate(), 0);
    EXPECT_EQ(second.Out(), refused);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), farEnd) << "the first one's link";
    EXPECT_EQ(RunningDriver::Open("Serial0").GetRxCount(), 0u) << "the first one serves on";
    first.Process().Kill();
    testsupport::ChildProcess again(command.program, command.arguments,
                                    {{"QUELTA_SIM", ""}, {"RTSS_NAMESPACE", first.Namespace()}});
    EXPECT_TRUE(again.WaitForOutput(Loaded(0, 8))) << again.Out();
    EXPECT_EQ(again.Terminate(), 0);
    std::filesystem::remove(link);  // the killed driver could not
}

// A host setting that cannot be used stops the driver with exit code 2 and a line naming it on
// standard error, before any object is made; a usable one does not.
TEST(DriverStartup, UnusableHostSettingsStopItBeforeAnythingIsMade) {
    const std::string tooWide =
        "RTSS_OBJECT_MODE: only read and write bits (at most 0666) may be given\n";
    // clang-format off
    const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
        {{{"RTSS_OBJECT_MODE", "zz9"}}, "RTSS_OBJECT_MODE: not an octal mode such as 0660\n"},
        {{{"RTSS_OBJECT_MODE", "77777777777"}}, tooWide},
        {{{"RTSS_OBJECT_MODE", "0755"}}, tooWide},
        {{{"RTSS_OBJECT_MODE", "0664"}}, ""},
        {{{"RTSS_NAMESPACE", "a/b"}},
         "RTSS_NAMESPACE: only letters, digits, '.', '_' and '-' may appear in it\n"},
        {{{"RTSS_NAMESPACE", std::string(300, 'n')}},
         "RTSS_NAMESPACE: longer than 100 characters (it becomes part of every object name)\n"},
        {{{"RTSS_REALTIME", "yes"}},
         "RTSS_REALTIME: 1 gives real-time priorities, 0 or unset normal scheduling\n"},
        {{{"RTSS_FAULTS", "attach"}}, "RTSS_FAULTS: \"attach\" is not OPERATION:N (operations: "
                                      "allocation, translation, mapping, shm, semaphore, mutex, "
                                      "thread, priority, attach)\n"},
    };
    // clang-format on
    for (const auto& [settings, message] : cases) {
        RunningDriver driver(DefaultBoard, {"-Q", "5"}, settings);
        if (message.empty()) {
            EXPECT_TRUE(driver.Process().WaitForOutput(Loaded(0, 8)));
            EXPECT_EQ(driver.Process().Terminate(), 0);
        } else {
            EXPECT_EQ(driver.Process().Wait(), 2) << message;
            EXPECT_EQ(driver.Process().Err(), message);
            EXPECT_EQ(driver.Process().Out(), "");
        }
        EXPECT_EQ(NamesLeft(driver), "") << message;
    }
}

}  // namespace
