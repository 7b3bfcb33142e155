#include <gtest/gtest.h>

#include <vector>

#include "hw/LineDriver.h"
#include "tests/support/ScriptedRegisters.h"

using fake::Access;
using fake::R;
using fake::W;

namespace {

class LineDriver : public ::testing::Test {
protected:
    // Process-wide: a process starts with the pins not set up, and every test leaves them so.
    void SetUp() override { ASSERT_FALSE(pinsReady); }
    void TearDown() override { pinsReady = false; }
    fake::ScriptedRegisters regs;
};

// Channel 5 to RS-485 mode A (driver mode 2) as the first pin transaction of the process. PinLevel
// reads are scripted: the read phase returns the pair's field 0x16 (even channel 4 in mode 2, odd
// channel 5 in mode 1) with bit 7 set, which must survive.
TEST_F(LineDriver, FirstTransactionSetsUpThePinsThenSelectsReadsAndWrites) {
    regs.Set(FifoTrigCtl, 0xC0, 5);
    regs.Script(PinLevel, {0x07, 0x17, 0x17, 0x03, 0xB3, 0x83, 0xD0}, 5);
    SetLineDriverMode(regs.Window(5), 5, Pin::DriverRs485A);
    EXPECT_TRUE(pinsReady);
    // clang-format off
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
        R(FifoTrigCtl, 0xC0, 5), W(FifoTrigCtl, 0xE0, 5),  // automatic RS-485 direction on
        W(TurnaroundDelay, 0x20, 5),
        W(PinCtl91, 0x00, 5), W(PinCtl8F, 0x00, 5),        // one-time set-up ...
        W(PinCtl92, 0x00, 5), W(PinCtl93, 0xFF, 5),
        W(PinLevel, 0x07, 5),                              // ... ends here
        R(PinLevel, 0x07, 5), W(PinLevel, 0x17, 5),        // select pair 2
        R(PinLevel, 0x17, 5), W(PinLevel, 0x17, 5),        // strobe
        R(PinLevel, 0x17, 5), W(PinLevel, 0x03, 5),        // read phase: bit 0 set
        R(PinLevel, 0x03, 5), W(PinLevel, 0x03, 5),        // strobe
        R(PinLevel, 0xB3, 5),                              // the field: 0xB3 >> 3 = 0x16
        R(PinLevel, 0x83, 5), W(PinLevel, 0xD2, 5),        // write phase, bit 7 kept:
        R(PinLevel, 0xD0, 5), W(PinLevel, 0xD2, 5),        // (0x16 & 3) | 2 << 2 at bit 3; strobe
    }));
    // clang-format on
}

}  // namespace
