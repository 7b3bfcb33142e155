#include <gtest/gtest.h>

#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/LineSignals.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::Access;
using fake::R;
using fake::W;

namespace {

class LineSignals : public ::testing::Test {
protected:
    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
    PortRecord& port = ports.Add(3, regs.Window(3));
};

// Each operation reloads mcrShadow from MCR, so a bit other code set (here OUT2, 0x08) survives.
TEST_F(LineSignals, DtrAndRtsChangeOneBitThroughTheShadow) {
    struct Step {
        void (*operation)(PortRecord*);
        std::uint8_t mcrAfter;
    };
    const Step steps[] = {{SetDtr, 0x09}, {SetRts, 0x0B}, {ClearDtr, 0x0A},
                          {ClearRts, 0x08}, {ClearRts, 0x08}};
    regs.Set(MCR, 0x08, 3);
    std::uint8_t before = 0x08;
    for (const Step& step : steps) {
        regs.ClearLog();
        step.operation(&port);
        EXPECT_EQ(regs.Log(), (std::vector<Access>{R(MCR, before, 3), W(MCR, step.mcrAfter, 3)}));
        EXPECT_EQ(port.mcrShadow, step.mcrAfter);
        before = step.mcrAfter;
    }
}

TEST_F(LineSignals, SetBreakChangesOnlyBit6OfWhatTheChannelHolds) {
    port.lcrShadow = 0x03;  // not consulted: LCR is read from the channel
    for (const std::uint8_t lcr : {std::uint8_t{0x1A}, std::uint8_t{0x5A}, std::uint8_t{0x80}}) {
        regs.ClearLog();
        regs.Set(LCR, lcr, 3);
        SetBreak(&port);
        EXPECT_EQ(regs.Log(), (std::vector<Access>{R(LCR, lcr, 3),
                                                   W(LCR, static_cast<std::uint8_t>(lcr | 0x40), 3)}));
    }
}

TEST_F(LineSignals, ClearBreakWithIdleTransmitterEndsBreakAndRearmsTheTransmitter) {
    for (const std::uint8_t lcr : {std::uint8_t{0x43}, std::uint8_t{0x03}}) {
        regs.ClearLog();
        regs.Set(LCR, lcr, 3);
        ClearBreak(&port);
        EXPECT_EQ(regs.Log(), (std::vector<Access>{
                                  R(LCR, lcr, 3),
                                  W(LCR, 0x03, 3),   // written back also when no break was on
                                  W(IER, 0x00, 3),   // enables off and on: a fresh THR-empty
                                  W(IER, 0x0F, 3),   // interrupt resumes the transmit ring
                              }));
    }
}

TEST_F(LineSignals, ClearBreakWhileTransmittingLeavesTheBreakOn) {
    port.txActive = 1;
    regs.Set(LCR, 0x43, 3);
    ClearBreak(&port);
    EXPECT_TRUE(regs.Log().empty()) << "neither LCR nor IER is touched";
    EXPECT_EQ(regs.Latch(LCR, 3), 0x43);
}

TEST_F(LineSignals, BreakOperationsRestoreTheInterruptStateTheyFound) {
    for (void (*operation)(PortRecord*) : {SetBreak, ClearBreak}) {
        operation(&port);
        EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
        const InterruptState outer = DisableInterrupts();
        operation(&port);
        EXPECT_TRUE(host::InterruptsDisabledOnThisThread()) << "inside a caller's section";
        RestoreInterrupts(outer);
    }
}

TEST_F(LineSignals, StatusReads) {
    regs.Script(MSR, {0xB1}, 3);
    regs.Script(LSR, {0x61}, 3);
    regs.Script(MCR, {0x0B, 0x08}, 3);
    port.mcrShadow = 0x03;  // the register is read, not the shadow
    port.lineErrors = 0x0A;
    port.rxCount = 30;
    EXPECT_EQ(ReadModemStatus(&port), 0xB1);
    EXPECT_EQ(ReadLineStatus(&port), 0x61);
    EXPECT_EQ(ReadModemControl(&port), 0x03);
    EXPECT_EQ(ReadModemControl(&port), 0x00);
    EXPECT_EQ(ReadLineErrors(&port), 0x0A);
    EXPECT_EQ(ReadLineErrors(&port), 0x0A) << "reading does not clear it";
    EXPECT_EQ(ReadRxCount(&port), 30u);
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(MSR, 0xB1, 3), R(LSR, 0x61, 3), R(MCR, 0x0B, 3),
                                               R(MCR, 0x08, 3)}))
        << "one register read each; lineErrors and rxCount touch no register";
}

TEST_F(LineSignals, NullPortTouchesNothing) {
    for (void (*operation)(PortRecord*) :
         {SetDtr, ClearDtr, SetRts, ClearRts, SetBreak, ClearBreak}) {
        operation(nullptr);
    }
    EXPECT_EQ(ReadModemStatus(nullptr), 0);
    EXPECT_EQ(ReadLineStatus(nullptr), 0);
    EXPECT_EQ(ReadModemControl(nullptr), 0);
    EXPECT_EQ(ReadLineErrors(nullptr), 0);
    EXPECT_EQ(ReadRxCount(nullptr), 0u);
    EXPECT_TRUE(regs.Log().empty());
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
}

}  // namespace
