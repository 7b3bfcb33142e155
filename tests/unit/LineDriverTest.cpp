#include <gtest/gtest.h>

#include <vector>

#include "hw/LineDriver.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::Access;
using fake::R;
using fake::W;

namespace {

class LineDriver : public ::testing::Test {
protected:
    void SetUp() override { pinsReady = false; }  // process-wide: each test starts before set-up
    void TearDown() override { pinsReady = false; }

    PortRecord& Port(std::uint8_t channel, std::uint8_t lineMode) {
        PortRecord& port = ports.Add(channel, regs.Window(channel));
        port.hasLineDriverControl = 1;
        port.config.lineMode = lineMode;
        return port;
    }

    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
};

// Channel 5 to RS-485 mode A (line mode 2) as the first pin transaction of the process. PinLevel
// reads are scripted: the read phase returns the pair's field 0x16 (even channel 4 in mode 2, odd
// channel 5 in mode 1) with bit 7 set, which must survive.
TEST_F(LineDriver, FirstTransactionSetsUpThePinsThenSelectsReadsAndWrites) {
    PortRecord& port = Port(5, 2);
    regs.Set(FifoTrigCtl, 0xC0, 5);
    regs.Script(PinLevel, {0x07, 0x17, 0x17, 0x03, 0xB3, 0x83, 0xD0}, 5);
    SetLineDriverMode(&port, 5);
    EXPECT_TRUE(pinsReady);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              R(FifoTrigCtl, 0xC0, 5),
                              W(FifoTrigCtl, 0xE0, 5),       // automatic RS-485 direction on
                              W(TurnaroundDelay, 0x20, 5),
                              W(PinCtl91, 0x00, 5),          // one-time set-up ...
                              W(PinCtl8F, 0x00, 5),
                              W(PinCtl92, 0x00, 5),
                              W(PinCtl93, 0xFF, 5),
                              W(PinLevel, 0x07, 5),          // ... ends here
                              R(PinLevel, 0x07, 5),          // select pair 2
                              W(PinLevel, 0x17, 5),
                              R(PinLevel, 0x17, 5),          // strobe
                              W(PinLevel, 0x17, 5),
                              R(PinLevel, 0x17, 5),          // read phase: bit 0 set
                              W(PinLevel, 0x03, 5),
                              R(PinLevel, 0x03, 5),          // strobe
                              W(PinLevel, 0x03, 5),
                              R(PinLevel, 0xB3, 5),          // the field: 0xB3 >> 3 = 0x16
                              R(PinLevel, 0x83, 5),          // write phase, bit 7 kept
                              W(PinLevel, 0xD2, 5),          // (0x16 & 3) | 2 << 2 = 0x0A at bit 3
                              R(PinLevel, 0xD0, 5),          // strobe
                              W(PinLevel, 0xD2, 5),
                          }));
}

// Later transactions skip the set-up. Channel 4 (even) to the default mode keeps channel 5's
// field, as read, in bits 2..3.
TEST_F(LineDriver, LaterTransactionsSkipSetUpAndKeepTheOddChannelsField) {
    pinsReady = true;
    PortRecord& port = Port(4, 0);
    regs.Set(FifoTrigCtl, 0xE0, 4);
    regs.Script(PinLevel, {0x02, 0x12, 0x12, 0x03, 0x6B, 0x03, 0x61}, 4);
    SetLineDriverMode(&port, 4);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              R(FifoTrigCtl, 0xE0, 4),
                              W(FifoTrigCtl, 0xC0, 4),  // automatic direction off, no delay write
                              R(PinLevel, 0x02, 4),     // select pair 2, no set-up before it
                              W(PinLevel, 0x12, 4),
                              R(PinLevel, 0x12, 4),
                              W(PinLevel, 0x12, 4),
                              R(PinLevel, 0x12, 4),     // read phase
                              W(PinLevel, 0x03, 4),
                              R(PinLevel, 0x03, 4),
                              W(PinLevel, 0x03, 4),
                              R(PinLevel, 0x6B, 4),     // field 0x0D: odd 3, even 1
                              R(PinLevel, 0x03, 4),     // write phase
                              W(PinLevel, 0x62, 4),     // (0x0D & 0x0C) | 0 = 0x0C at bit 3
                              R(PinLevel, 0x61, 4),
                              W(PinLevel, 0x63, 4),
                          }));
}

// The pair's mode field as the read phase returns it and as the write phase must write it.
struct FieldCase {
    std::uint8_t channel;
    std::uint8_t driverMode;
    std::uint8_t fieldRead;
    std::uint8_t fieldWritten;
};

TEST_F(LineDriver, WritesOnlyItsOwnHalfOfThePairsField) {
    constexpr FieldCase cases[] = {
        {4, 2, 0x0F, 0x0E}, {4, 0, 0x07, 0x04}, {4, 1, 0x00, 0x01},
        {5, 2, 0x0F, 0x0B}, {5, 0, 0x0E, 0x02}, {5, 1, 0x01, 0x05},
        {0, 1, 0x1C, 0x0D},  // a fifth bit read back (PinLevel bit 7) is not written as field
        {7, 2, 0x13, 0x0B},
    };
    pinsReady = true;
    for (const FieldCase& c : cases) {
        regs.ClearLog();
        // Every PinLevel read gives the field at bit 3 with nothing else set.
        regs.Script(PinLevel, std::vector<std::uint8_t>(7, static_cast<std::uint8_t>(c.fieldRead << 3)),
                    c.channel);
        WriteLineDriverPins(regs.Window(c.channel), c.channel, c.driverMode);
        const std::vector<Access> writes = regs.Writes();
        ASSERT_EQ(writes.size(), 6u);
        EXPECT_EQ(writes[0], W(PinLevel, static_cast<std::uint8_t>((c.channel / 2) << 3), c.channel))
            << "select writes the pair number";
        EXPECT_EQ(writes[4].value & 0x78, c.fieldWritten << 3)
            << "channel " << int(c.channel) << " mode " << int(c.driverMode);
    }
}

struct ModeCase {
    std::uint8_t lineMode;
    std::uint8_t fifoTrigRead;
    std::uint8_t fifoTrigWritten;  // only bit 5 (automatic direction) changes
    bool turnaround;               // TurnaroundDelay written 0x20
    std::uint8_t driverMode;       // field written for channel 2 (even)
};

TEST_F(LineDriver, LineModeTable) {
    constexpr ModeCase cases[] = {
        {0, 0xA4, 0x84, false, 0}, {1, 0xA4, 0x84, false, 0}, {2, 0x84, 0xA4, true, 2},
        {3, 0x84, 0xA4, true, 1},  {4, 0xA4, 0x84, false, 0}, {255, 0xE5, 0xC5, false, 0},
    };
    pinsReady = true;
    PortRecord& port = Port(2, 0);
    for (const ModeCase& c : cases) {
        regs.ClearLog();
        port.config.lineMode = c.lineMode;
        regs.Script(FifoTrigCtl, {c.fifoTrigRead}, 2);
        regs.Script(PinLevel, std::vector<std::uint8_t>(7, 0x00), 2);
        SetLineDriverMode(&port, 2);
        const std::vector<Access> writes = regs.Writes();
        ASSERT_GE(writes.size(), 2u);
        EXPECT_EQ(writes[0], W(FifoTrigCtl, c.fifoTrigWritten, 2)) << "line mode " << int(c.lineMode);
        EXPECT_EQ(writes[1] == W(TurnaroundDelay, 0x20, 2), c.turnaround)
            << "line mode " << int(c.lineMode);
        EXPECT_EQ((writes[writes.size() - 2].value >> 3) & 0x03, c.driverMode)
            << "line mode " << int(c.lineMode);
    }
}

TEST_F(LineDriver, RestoresTheInterruptStateItFound) {
    pinsReady = true;
    PortRecord& port = Port(1, 2);
    SetLineDriverMode(&port, 1);
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread()) << "called with interrupts on";
    const InterruptState outer = DisableInterrupts();
    SetLineDriverMode(&port, 1);
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread()) << "a caller's section is not ended";
    RestoreInterrupts(outer);
}

}  // namespace
