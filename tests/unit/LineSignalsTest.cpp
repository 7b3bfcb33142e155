// DTR, RTS and break against the register fake.
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
    const std::pair<void (*)(PortRecord*), std::uint8_t> steps[] = {
        {SetDtr, 0x09}, {SetRts, 0x0B}, {ClearDtr, 0x0A}, {ClearRts, 0x08}, {ClearRts, 0x08}};
    regs.Set(MCR, 0x08, 3);
    std::uint8_t before = 0x08;
    for (const auto& [operation, after] : steps) {
        regs.ClearLog();
        operation(&port);
        EXPECT_EQ(regs.Log(), (std::vector<Access>{R(MCR, before, 3), W(MCR, after, 3)}));
        EXPECT_EQ(port.mcrShadow, after);
        before = after;
    }
}

// SetBreak changes only bit 6 of what the channel holds (not lcrShadow); ClearBreak with an idle
// transmitter ends it and re-arms the transmitter, and while the transmitter runs touches
// nothing. Both work in a section of their own and restore the state they found, so inside a
// caller's section interrupts stay disabled.
TEST_F(LineSignals, BreakSetAndClear) {
    port.lcrShadow = 0x03;
    struct Step {
        void (*operation)(PortRecord*);
        std::uint32_t txActive;
        std::uint8_t lcr;
        std::vector<Access> accesses;
    };
    // clang-format off
    const Step steps[] = {
        {SetBreak, 0, 0x1A, {R(LCR, 0x1A, 3), W(LCR, 0x5A, 3)}},
        {SetBreak, 1, 0x80, {R(LCR, 0x80, 3), W(LCR, 0xC0, 3)}},
        {ClearBreak, 1, 0x43, {}},
        {ClearBreak, 0, 0x43, {R(LCR, 0x43, 3), W(LCR, 0x03, 3), W(IER, 0x00, 3), W(IER, 0x0F, 3)}},
        {ClearBreak, 0, 0x03, {R(LCR, 0x03, 3), W(LCR, 0x03, 3), W(IER, 0x00, 3), W(IER, 0x0F, 3)}},
    };
    // clang-format on
    for (const Step& step : steps) {
        for (const bool nested : {false, true}) {
            regs.ClearLog();
            regs.Set(LCR, step.lcr, 3);
            port.txActive = step.txActive;
            const InterruptState outer = nested ? DisableInterrupts() : 0;
            step.operation(&port);
            EXPECT_EQ(host::InterruptsDisabledOnThisThread(), nested);
            if (nested) RestoreInterrupts(outer);
            EXPECT_EQ(regs.Log(), step.accesses);
            for (const Access& access : regs.Log()) EXPECT_TRUE(access.disabled);
        }
    }
}

}  // namespace
