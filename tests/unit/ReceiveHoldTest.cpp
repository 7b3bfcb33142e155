// Holding the far end against the register fake: the receive service masks received data when a
// port with flow control has no ring room for another FIFO, every write of the enables keeps it
// masked while held, and a read that makes room, an open, a close, a flush or settings without
// flow control end the hold.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "hw/BoardClock.h"
#include "port/FifoTransfer.h"
#include "port/LineSignals.h"
#include "port/PortOps.h"
#include "port/PortReport.h"
#include "port/ReceiveHold.h"
#include "port/Rings.h"
#include "tests/support/LineBuilder.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::Access;
using fake::R;
using fake::W;
using testsupport::Bytes;
using testsupport::Line;

namespace {

constexpr std::uint8_t Masked = Ier::All & ~Ier::RxData;
constexpr std::uint8_t Index = 0;  // the table's first entry: the kicks find a port by its record

class ReceiveHold : public ::testing::Test {
protected:
    void SetUp() override { boardClockHz = 14'745'600; }
    void TearDown() override { boardClockHz = 0; }
    void InForce(const LineConfig& settings) { PortReports[Index].inForce = settings; }
    void FillRing(std::uint32_t room) {
        port.rxHead = port.rxTail = port.rxCount = 0;
        fake::Receive(port, RingSize - room);
    }
    // The IER writes of the last operation, each checked to be made with interrupts disabled.
    // Those before its last LCR write may be DLM, at the same offset, in a divisor load.
    std::vector<std::uint8_t> EnableWrites() const {
        std::vector<std::uint8_t> values;
        for (const Access& access : regs.Writes()) {
            if (access.offset == Index * ChannelWindowSize + LCR) {
                values.clear();
            } else if (access.offset == Index * ChannelWindowSize + IER) {
                EXPECT_TRUE(access.disabled);
                values.push_back(access.value);
            }
        }
        return values;
    }

    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
    PortRecord& port = ports.Add(Index, regs.Window(Index));
};

// A burst of 20 on ring room 84 (64 left: enough), 70, 10 and 0: with automatic RTS or XON/XOFF the
// service takes no more than fits and masks received data once less than a FIFO's worth is left;
// with automatic CTS alone (which cannot stop the far end) it drains the FIFO, dropping what does
// not fit, and leaves the enables alone.
TEST_F(ReceiveHold, TheReceiveServiceTakesWhatFitsAndMasksReceivedDataOnAFullRing) {
    struct Case {
        LineConfig settings;
        std::uint32_t room, moved;
        std::vector<std::uint8_t> enables;
    };
    // clang-format off
    const Case cases[] = {
        {Line({.flowControl = FlowControl::AutoCts}), 10, 20, {}},
        {Line({.flowControl = FlowControl::RtsCts}), 84, 20, {}},
        {Line({.flowControl = FlowControl::AutoRtsWithOut1}), 70, 20, {Masked}},
        {Line({.softwareFlow = 1}), 10, 10, {Masked}},
        {Line({.softwareFlow = 1}), 0, 0, {Masked}},
    };
    // clang-format on
    for (const Case& c : cases) {
        InForce(c.settings);
        ReceiveHeld[Index].store(0);
        FillRing(c.room);
        regs.ClearLog();
        regs.Set(RxLevel, 20, Index);
        regs.Set(LSR, Lsr::DataReady, Index);
        ReceiveService(Index);
        std::vector<Access> expected = {R(RxLevel, 20, Index), R(RxLevel, 20, Index),
                                        R(LSR, 0x01, Index)};
        for (std::uint32_t i = 0; i < c.moved; ++i) {
            expected.push_back(R(static_cast<RegOffset>(FifoWindow + i), 0, Index));
        }
        for (const std::uint8_t value : c.enables) expected.push_back(W(IER, value, Index));
        EXPECT_EQ(regs.Log(), expected) << c.room;
        EXPECT_EQ(ReceiveHeld[Index].load(), c.enables.empty() ? 0 : 1) << c.room;
    }
}

// Starting held (RTS/CTS in force, ring room 10, a byte queued) before each step.
TEST_F(ReceiveHold, WhileHeldEveryEnableWriteKeepsReceivedDataOffUntilRoomOrNewSettingsEndIt) {
    const LineConfig flow = Line({.flowControl = FlowControl::RtsCts});
    const LineConfig plain = Line();
    std::uint8_t out[RingSize];
    std::uint32_t count = 0;
    struct Step {
        const char* name;
        std::function<void()> operation;
        std::vector<std::uint8_t> enables;  // the IER writes it makes
        bool held;                          // after it
    };
    const Step steps[] = {
        {"write (kick)", [&] { WritePort(Index, out, 0, &count); }, {Ier::None, Masked}, true},
        {"clear break (kick)", [&] { ClearBreak(&port); }, {Ier::None, Masked}, true},
        {"transmit finds no room (kick)",
         [&] { TransmitService(Index); },
         {Ier::None, Masked},
         true},
        {"read leaving room below 4 FIFOs", [&] { ReadPort(Index, out, 240, &count); }, {}, true},
        {"read making 4 FIFOs of room",
         [&] { ReadPort(Index, out, 246, &count); },
         {Ier::All},
         false},
        {"settings with flow control", [&] { SetPortConfig(Index, Bytes(flow)); }, {Masked}, true},
        {"settings without", [&] { SetPortConfig(Index, Bytes(plain)); }, {Ier::All}, false},
        {"open", [&] { OpenPort(Index); }, {Ier::All}, false},
        {"close (its kick, then off)",
         [&] { ClosePort(Index); },
         {Ier::None, Ier::All, Ier::None},
         false},
        {"flush of the receive side", [&] { FlushPort(Index, true, false); }, {Ier::All}, false},
        {"flush of the transmit side", [&] { FlushPort(Index, false, true); }, {}, true},
    };
    for (const Step& step : steps) {
        InForce(flow);
        FillRing(10);
        ReceiveHeld[Index].store(1);
        port.txActive = 0;
        port.txCount = 1;
        regs.Set(TxLevel, FifoDepth, Index);  // a full transmit FIFO: the service only kicks
        regs.ClearLog();
        step.operation();
        EXPECT_EQ(EnableWrites(), step.enables) << step.name;
        EXPECT_EQ(ReceiveHeld[Index].load(), step.held ? 1 : 0) << step.name;
    }
}

}  // namespace
