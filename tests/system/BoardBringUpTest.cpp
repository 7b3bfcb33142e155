// Discovery and set-up of the driver process on machine descriptions, with its console output
// compared exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/system/DriverProcess.h"

using namespace std::chrono_literals;

namespace {

const char NoBoard[] = "There is no Quelta board in the system.\n";
const char OtherLine[] = "Supplied IRQ is not attached to any Quelta board.\n";

std::string Loaded(int first, int count) {
    std::string lines;
    for (int n = first; n < first + count; ++n) {
        lines += "\\RtDevice\\Quelta\\Serial" + std::to_string(n) + " driver loaded\n";
    }
    return lines;
}

std::string Board(const std::string& where, const std::string& ids) {
    return "board " + where + " " + ids + " clock=14745600\n";
}

struct BringUpCase {
    const char* name;
    std::string machine;
    std::vector<std::string> args;
    std::string expected;  // the whole console output once start-up is over
};

void PrintTo(const BringUpCase& c, std::ostream* out) { *out << c.name; }

class BringUp : public ::testing::TestWithParam<BringUpCase> {};

// Runs the driver until the expected output is complete (or it stops changing), then ends it.
std::string StartUpOutput(const BringUpCase& c, const std::string& expected) {
    systest::DriverProcess driver(c.args, {{"RTSS_NAMESPACE", systest::UniqueNamespace("b")},
                                           {"QUELTA_SIM", systest::WriteMachine(c.machine)}});
    driver.WaitForOutput(expected, 15s);
    EXPECT_EQ(driver.Terminate(), 0) << "a driver that started up parks until it is ended";
    return driver.Output();
}

TEST_P(BringUp, ConsoleOutputIsExact) {
    const BringUpCase& c = GetParam();
    EXPECT_EQ(StartUpOutput(c, c.expected), c.expected);
}

const std::string Bridge = "function bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237\n";

INSTANTIATE_TEST_SUITE_P(
    Boards, BringUp,
    ::testing::Values(
        BringUpCase{"TwoChannels", Bridge + Board("bus=0 device=3 function=0",
                                                  "device-id=0x0152 subsystem=0x310 irq=5"),
                    {"-Q", "5"}, Loaded(0, 2)},
        BringUpCase{"FourChannelsFromPortBase4",
                    Board("bus=0 device=1 function=0", "device-id=0x0154 subsystem=0x321 irq=7"),
                    {"-Q7", "-P4"}, Loaded(4, 4)},
        BringUpCase{"EightChannelsFromPortBase255",
                    Board("bus=0 device=1 function=0", "device-id=0x0158 subsystem=0x312 irq=9"),
                    {"-P", "255", "-Q", "9"}, Loaded(255, 8)},
        BringUpCase{"UnknownSubsystemCountsByDeviceId",
                    Board("bus=0 device=1 function=0", "device-id=0x0154 subsystem=0x3FF irq=5"),
                    {"-Q", "5"}, Loaded(0, 4)},
        BringUpCase{"CountNeverExceedsTheRegisterSpace",
                    Board("bus=0 device=1 function=0", "device-id=0x0152 subsystem=0x312 irq=5"),
                    {"-Q", "5"}, Loaded(0, 2)},
        BringUpCase{"WithoutQOnlyLineZeroIsTaken",
                    Board("bus=0 device=1 function=0", "device-id=0x0152 subsystem=0x300 irq=0"),
                    {}, Loaded(0, 2)},
        BringUpCase{"TwoBoardsOnOneLineTheFirstInScanOrderIsServed",
                    Board("bus=0 device=5 function=0", "device-id=0x0158 subsystem=0x312 irq=5") +
                        Board("bus=0 device=2 function=0",
                              "device-id=0x0152 subsystem=0x300 irq=5"),
                    {"-Q", "5"}, Loaded(0, 2)},
        BringUpCase{"BoardOnALaterBusBehindOtherFunctions",
                    "buses 2\n" + Bridge +
                        "function bus=1 device=4 function=0 vendor=0x8086 device-id=0x1000\n" +
                        Board("bus=1 device=4 function=1", "device-id=0x0258 subsystem=0x332 irq=11"),
                    {"-Q", "11"}, Loaded(0, 8)}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Discovery, BringUp,
    ::testing::Values(
        BringUpCase{"NoBusAtAll", "buses 0\n", {"-Q", "5"}, NoBoard},
        BringUpCase{"BoardBeyondAMissingBusIsNeverReached",
                    "buses 0,2\n" + Board("bus=2 device=1 function=0",
                                          "device-id=0x0158 subsystem=0x312 irq=5"),
                    {"-Q", "5"}, NoBoard},
        BringUpCase{"EmptyFunctionZeroHidesTheOtherFunctions",
                    Board("bus=0 device=4 function=1", "device-id=0x0158 subsystem=0x312 irq=5"),
                    {"-Q", "5"}, NoBoard},
        BringUpCase{"BoardOnAnotherLine",
                    Board("bus=0 device=4 function=0", "device-id=0x0158 subsystem=0x312 irq=11"),
                    {"-Q", "5"}, OtherLine},
        BringUpCase{"AnotherSubsystemVendorIsNotOfTheFamily",
                    Board("bus=0 device=4 function=0",
                          "device-id=0x0158 subsystem=0x312 irq=11 subsystem-vendor=0x1234"),
                    {"-Q", "5"}, NoBoard},
        BringUpCase{"AnotherVendorIsNotOfTheFamily",
                    "function bus=0 device=4 function=0 vendor=0x1234 device-id=0x0158 "
                    "subsystem-vendor=0x12C4 subsystem=0x312 irq=5\n",
                    {"-Q", "5"}, NoBoard}),
    [](const auto& param) { return std::string(param.param.name); });

// Every Subsystem ID of the family gives its own channel count.
class ChannelCount : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ChannelCount, FollowsTheSubsystemId) {
    const auto [subsystem, count] = GetParam();
    char ids[96];
    std::snprintf(ids, sizeof ids, "device-id=0x0258 subsystem=0x%X irq=5", subsystem);
    const BringUpCase c{"", Board("bus=0 device=1 function=0", ids), {"-Q", "5"}, Loaded(0, count)};
    EXPECT_EQ(StartUpOutput(c, c.expected), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Subsystems, ChannelCount,
    ::testing::Values(std::pair{0x300, 2}, std::pair{0x310, 2}, std::pair{0x320, 2},
                      std::pair{0x330, 2}, std::pair{0x301, 4}, std::pair{0x311, 4},
                      std::pair{0x321, 4}, std::pair{0x331, 4}, std::pair{0x302, 8},
                      std::pair{0x312, 8}, std::pair{0x322, 8}, std::pair{0x332, 8},
                      std::pair{0x353, 8}),
    [](const auto& param) {
        char name[16];
        std::snprintf(name, sizeof name, "x%X", param.param.first);
        return std::string(name);
    });

const std::string DefaultBoard =
    Board("bus=0 device=3 function=0", "device-id=0x0158 subsystem=0x312 irq=5");

// The plain and the shareable attachment fail with the same words and exit code 1.
TEST(DriverFailures, InterruptAttachmentFailureEndsWithCodeOne) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"-Q", "5"},
                                                                  {"-Q", "5", "-S", "1"}}) {
        systest::DriverProcess driver(args,
                                      {{"RTSS_NAMESPACE", systest::UniqueNamespace("a")},
                                       {"QUELTA_SIM", systest::WriteMachine(DefaultBoard)},
                                       {"RTSS_FAULTS", "attach:1"}});
        EXPECT_EQ(driver.WaitForExit(15s), 1) << args.size();
        EXPECT_EQ(driver.Output(), Loaded(0, 8) +
                                       "RtAttachInterruptVectorEx failed 8\n"
                                       "Error: Failed to open serial port\n (0x8)\n")
            << args.size();
    }
}

TEST(DriverFailures, SecondDriverWithTheSameNamesServesNothing) {
    const std::string space = systest::UniqueNamespace("twice");
    const std::string machine = systest::WriteMachine(DefaultBoard);
    systest::DriverProcess first({"-Q", "5"}, {{"RTSS_NAMESPACE", space}, {"QUELTA_SIM", machine}});
    ASSERT_TRUE(first.WaitForOutput(Loaded(0, 8), 15s));

    systest::DriverProcess second({"-Q", "5"}, {{"RTSS_NAMESPACE", space}, {"QUELTA_SIM", machine}});
    const std::string expected =
        "Failed to register Quelta driver (error=183).\n"
        "Driver by this name is already loaded.\n"
        "Quelta board set-up failed: no port is served.\n";
    second.WaitForOutput(expected, 15s);
    EXPECT_EQ(second.Terminate(), 0);
    EXPECT_EQ(second.Output(), expected);
    EXPECT_EQ(first.Terminate(), 0);
}

TEST(DriverFailures, RestartAfterSigkillReclaimsTheNames) {
    const std::string space = systest::UniqueNamespace("kill");
    const std::string machine = systest::WriteMachine(DefaultBoard);
    {
        systest::DriverProcess first({"-Q", "5"}, {{"RTSS_NAMESPACE", space}, {"QUELTA_SIM", machine}});
        ASSERT_TRUE(first.WaitForOutput(Loaded(0, 8), 15s));
        first.Kill();  // no orderly end: its named objects stay behind
    }
    systest::DriverProcess again({"-Q", "5"}, {{"RTSS_NAMESPACE", space}, {"QUELTA_SIM", machine}});
    again.WaitForOutput(Loaded(0, 8), 15s);
    EXPECT_EQ(again.Terminate(), 0);
    EXPECT_EQ(again.Output(), Loaded(0, 8));
}

}  // namespace
