// The machine description: what a good one builds, and the one-line error, with its line
// number, for each kind of mistake.
#include <string>

#include "sim/Description.h"
#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

TEST(Description, DefaultMachineIsTheBoardOnIrqFiveWithNullModemPairs) {
    const sim::ParsedDescription parsed = sim::ParseDescription(sim::DefaultDescriptionText());
    ASSERT_TRUE(parsed.description) << parsed.error.what;
    const sim::Description& d = *parsed.description;
    EXPECT_EQ(d.buses, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(d.pace, 1.0);
    ASSERT_EQ(d.functions.size(), 2u);
    EXPECT_FALSE(d.functions[0].isBoard);
    EXPECT_NE(d.functions[0].vendor, 0x13A8);
    const sim::FunctionDescription& board = d.functions[1];
    EXPECT_TRUE(board.isBoard);
    EXPECT_EQ(board.device, 3u);
    EXPECT_EQ(board.deviceId, 0x0158);
    EXPECT_EQ(board.subsystemVendor, 0x12C4);
    EXPECT_EQ(board.subsystemId, 0x0312);
    EXPECT_EQ(board.irq, 5);
    EXPECT_EQ(board.eeprom[4] | board.eeprom[5] << 16, 14745600);
    for (std::uint32_t channel = 0; channel < 8; ++channel) {
        EXPECT_EQ(board.lines[channel].kind, sim::LineKind::NullModem);
        EXPECT_EQ(board.lines[channel].peer, channel ^ 1u);
    }
}

TEST(Description, StatementsCommentsAndDefaults) {
    const sim::ParsedDescription parsed = sim::ParseDescription(
        "# two boards\n"
        "  board bus=2 device=0x1f function=7 device-id=0x0152 subsystem=0x300 irq=0 "
        "clock=1843200   # comment\n"
        "channel 1 loopback\n"
        "board bus=0 device=1 function=0 device-id=0x0258 subsystem=0x353 irq=9 "
        "eeprom=0,0,0,0,0x4000,0x00E1 vendor=0x1111 subsystem-vendor=0x2222\n"
        "channel 7 pty /tmp/somewhere\n"
        "channel 6 pty\n"
        "pace 0\n");
    ASSERT_TRUE(parsed.description) << parsed.error.line << ": " << parsed.error.what;
    const sim::Description& d = *parsed.description;
    EXPECT_EQ(d.buses, (std::vector<std::uint32_t>{0, 1, 2}));  // up to the highest bus used
    EXPECT_EQ(d.pace, 0.0);
    EXPECT_EQ(d.functions[0].device, 31u);
    EXPECT_EQ(d.functions[0].lines[1].kind, sim::LineKind::Loopback);
    EXPECT_EQ(d.functions[0].lines[0].kind, sim::LineKind::Open);
    EXPECT_EQ(d.functions[1].clockHz, 0x00E14000u);
    EXPECT_EQ(d.functions[1].vendor, 0x1111);
    EXPECT_EQ(d.functions[1].subsystemVendor, 0x2222);
    EXPECT_EQ(d.functions[1].lines[7].ptyPath, "/tmp/somewhere");
    EXPECT_EQ(d.functions[1].lines[6].kind, sim::LineKind::Pty);
    EXPECT_NE(d.functions[0].bar0, d.functions[1].bar0);
}

struct BadDescription {
    const char* text;
    std::uint32_t line;
    const char* message;
};

class DescriptionErrors : public ::testing::TestWithParam<BadDescription> {};

TEST_P(DescriptionErrors, NameTheLineAndWhatIsWrong) {
    const BadDescription bad = GetParam();
    const sim::ParsedDescription parsed = sim::ParseDescription(bad.text);
    ASSERT_FALSE(parsed.description);
    EXPECT_EQ(parsed.error.line, bad.line);
    EXPECT_EQ(parsed.error.what, bad.message);
    EXPECT_EQ(parsed.error.what.find('\n'), std::string::npos);
}

constexpr const char* Board =
    "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n";

INSTANTIATE_TEST_SUITE_P(
    Table, DescriptionErrors,
    ::testing::Values(
        BadDescription{"\n\nbord bus=0\n", 3, "unknown statement 'bord'"},
        BadDescription{"board bus=0 device=3 function=0 subsystem=0x312 irq=5 clock=1\n", 1,
                       "board: device-id= is missing"},
        BadDescription{"board bus=0 device=32 function=0 device-id=1 subsystem=2 irq=5 clock=1\n",
                       1, "board device: 32 is out of range (0 to 31)"},
        BadDescription{"board bus=0 device=3 function=0 device-id=0x15g subsystem=2 irq=5 clock=1\n",
                       1, "board device-id: '0x15g' is not a number"},
        BadDescription{"board bus=0 device=3 function=0 device-id=1 subsystem=2 irq=5\n", 1,
                       "board: give either clock= or eeprom="},
        BadDescription{"board bus=0 device=3 function=0 device-id=1 subsystem=2 irq=5 clock=1 "
                       "irq=6\n",
                       1, "board: irq= given twice"},
        BadDescription{"board bus=0 device=3 function=0 device-id=1 subsystem=2 irq=5 clock=1 "
                       "speed=9\n",
                       1, "board: unknown key 'speed'"},
        BadDescription{"channel 0 loopback\n", 1, "channel: no board line above it"},
        BadDescription{"function bus=0 device=0 function=0 vendor=1 device-id=2\n"
                       "channel 0 loopback\n",
                       2, "channel: no board line above it"},
        BadDescription{"# x\nboard bus=0 device=3 function=0 device-id=0x0152 subsystem=0x310 "
                       "irq=5 clock=1\nchannel 2 loopback\n",
                       3, "channel: 2 is out of range (0 to 1)"},
        BadDescription{"board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1\nchannel 0 null-modem 1\nchannel 1 loopback\n",
                       3, "channel 1 is already wired on line 2"},
        BadDescription{"board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1\nchannel 4 null-modem 4\n",
                       2, "channel: a channel cannot be its own null-modem peer (use loopback)"},
        BadDescription{"board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1\nchannel 4 serial\n",
                       2, "channel: unknown line 'serial' (null-modem, pty, loopback or open)"},
        BadDescription{"function bus=0 device=3 function=0 vendor=1 device-id=2\n"
                       "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1\n",
                       2, "board: bus 0 device 3 function 0 is already taken on line 1"},
        BadDescription{"pace fast\n", 1, "pace: 'fast' is not a factor of 0 or more"},
        BadDescription{"pace -1\n", 1, "pace: '-1' is not a factor of 0 or more"},
        BadDescription{"buses 2\nbuses 3\n", 2, "buses: already given on line 1"},
        BadDescription{"buses 0,1,1\n", 1, "buses: bus 1 listed twice"},
        BadDescription{"board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1 bar0=0xE0000000\n"
                       "board bus=0 device=4 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1 bar0=0xE0000000\n",
                       2, "board bar0: overlaps the board of line 1"},
        BadDescription{"board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                       "clock=1 bar0=0xE0000100\n",
                       1, "board bar0: must be aligned to the region length 4096"}));

TEST(Description, LoadingNamesTheOriginInItsOneLineError) {
    const sim::LoadedMachine loaded =
        sim::LoadMachine(std::string(Board) + "channel 9 open\n", "/etc/machine.sim", {});
    EXPECT_FALSE(loaded.machine);
    EXPECT_EQ(loaded.error, "/etc/machine.sim:2: channel: 9 is out of range (0 to 7)");
}

}  // namespace
}  // namespace simtest
