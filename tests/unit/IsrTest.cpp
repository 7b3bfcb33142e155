// The interrupt service against the register fake, where the exact reads are the contract: the
// summary's order, identification values, the stable level readings and the bounds of a burst.
// What the channel model produces by itself (bytes both ways, line errors, ring overrun) is
// tested on the simulated board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "port/FifoTransfer.h"
#include "port/Isr.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::Access;
using fake::R;
using fake::W;

namespace {

class Isr : public ::testing::Test {
protected:
    IsrContext Context(bool pinPulse = false) {
        return {regs.Address(IntSummary), pinPulse ? regs.Address(PinLevel) : nullptr,
                static_cast<std::uint8_t>(pinPulse ? 1 : 0)};
    }
    // What WritePort would have left: count bytes first, first + 1, ... queued from txHead on.
    static void QueueTx(PortRecord& port, std::uint32_t count, std::uint8_t first) {
        for (std::uint32_t i = 0; i < count; ++i) {
            port.txRing[port.txHead] = static_cast<std::uint8_t>(first + i);
            port.txHead = (port.txHead + 1) % RingSize;
        }
        port.txCount += count;
    }
    static std::vector<Access> Fifo(char kind, std::uint8_t first, std::uint32_t count,
                                    std::uint32_t channel) {
        std::vector<Access> accesses;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto reg = static_cast<RegOffset>(FifoWindow + i);
            const auto value = static_cast<std::uint8_t>(first + i);
            accesses.push_back(kind == 'W' ? W(reg, value, channel) : R(reg, value, channel));
        }
        return accesses;
    }
    void ScriptFifo(std::uint8_t first, std::uint32_t count, std::uint32_t channel) {
        for (std::uint32_t i = 0; i < count; ++i) {
            regs.Script(static_cast<RegOffset>(FifoWindow + i),
                        {static_cast<std::uint8_t>(first + i)}, channel);
        }
    }

    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
};

TEST_F(Isr, ContextWithoutASummaryTouchesNoRegister) {
    IsrContext unfilled{};  // set-up has not stored the summary address yet
    for (IsrContext* context : {static_cast<IsrContext*>(nullptr), &unfilled}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(InterruptService(context), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Isr context NULL\n");
        testing::internal::CaptureStderr();
        EXPECT_EQ(InterruptPrecheck(context), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Isr context NULL\n");
    }
    EXPECT_TRUE(regs.Log().empty());
}

TEST_F(Isr, PrecheckReadsOnlyTheSummary) {
    IsrContext context = Context();
    regs.Script(IntSummary, {0x00, 0x10});
    EXPECT_EQ(InterruptPrecheck(&context), RtValue::PrecheckNotOurs);
    EXPECT_EQ(InterruptPrecheck(&context), RtValue::PrecheckRunService);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IntSummary, 0x00), R(IntSummary, 0x10)}));
}

// The summary is read again after each channel: channel 1 first (0x06), then channel 0, whose bit
// came up meanwhile, before channel 2; then 7. Identifications: the top bits are masked, 0x20 is
// modem status, unknown even values are read again.
TEST_F(Isr, ServesTheLowestPendingChannelOfAFreshSummary) {
    for (const std::uint32_t channel : {0, 1, 2, 7}) {
        ports.Add(static_cast<std::uint8_t>(channel), regs.Window(channel));
    }
    regs.Script(IntSummary, {0x06, 0x05, 0x84, 0x80, 0x00});
    regs.Script(IIR, {0xC0, 0xC1}, 1);
    regs.Script(IIR, {0x20, 0x01}, 0);
    regs.Script(IIR, {0x08, 0x3E, 0x01}, 2);
    regs.Script(IIR, {0xE0, 0x01}, 7);
    IsrContext pulsed = Context(true);
    EXPECT_EQ(InterruptService(&pulsed), 1);
    // clang-format off
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              W(PinLevel, 0xFF),  // the pins pulse around the whole service
                              R(IntSummary, 0x06), R(IIR, 0xC0, 1), R(MSR, 0x00, 1), R(IIR, 0xC1, 1),
                              R(IntSummary, 0x05), R(IIR, 0x20, 0), R(MSR, 0x00, 0), R(IIR, 0x01, 0),
                              R(IntSummary, 0x84), R(IIR, 0x08, 2), R(IIR, 0x3E, 2), R(IIR, 0x01, 2),
                              R(IntSummary, 0x80), R(IIR, 0xE0, 7), R(MSR, 0x00, 7), R(IIR, 0x01, 7),
                              R(IntSummary, 0x00), W(PinLevel, 0xFE)}));
    // clang-format on
    regs.ClearLog();
    EXPECT_EQ(InterruptService(&pulsed), 1);
    EXPECT_EQ(regs.Log(),
              (std::vector<Access>{W(PinLevel, 0xFF), R(IntSummary, 0x00), W(PinLevel, 0xFE)}))
        << "also when nothing is pending";
}

// Bits the service cannot act on in this call are set aside and the service ends: a channel
// without a record (its window is never touched), one that showed nothing pending (result 0),
// one still pending after MaxChannelPasses (a stuck IIR starves no other channel).
TEST_F(Isr, UnservableChannelsAreSetAsideAndTheServiceEnds) {
    ports.Add(0, regs.Window(0));
    ports.Add(1, regs.Window(1));
    regs.Set(IntSummary, 0xF7);  // never clears: channels 2 and 4 to 7 have no record
    regs.Set(IIR, 0x08, 0);      // an identification with nothing to do, for ever
    regs.Set(IIR, 0x01, 1);
    regs.Script(IIR, {0x00, 0x01}, 1);
    IsrContext context = Context();
    EXPECT_EQ(InterruptService(&context), 0) << "channel 1, looked at last, had nothing pending";
    EXPECT_EQ(regs.Reads(IIR, 0), MaxChannelPasses + 1);
    EXPECT_EQ(regs.Reads(MSR, 1), 1u) << "served after the stuck channel";
    EXPECT_EQ(regs.Reads(IntSummary), 4u);
    for (const Access& access : regs.Log()) EXPECT_LT(access.offset, 2 * ChannelWindowSize);

    regs.ClearLog();
    regs.Set(IntSummary, 0x02);
    EXPECT_EQ(InterruptService(&context), 0) << "nothing pending at the first look";
    EXPECT_EQ(regs.Log(),
              (std::vector<Access>{R(IntSummary, 0x02), R(IIR, 0x01, 1), R(IntSummary, 0x02)}));
}

// TxLevel 10, 12, 12: room 52, a burst that wraps the ring's end; alternating readings: one byte;
// no room by the reading (full, or a glitch above the depth): nothing sent, and the enables are
// turned off and on so that a transmit interrupt comes again even on an empty FIFO.
TEST_F(Isr, TransmitBurstsFollowAStableLevelReading) {
    struct Case {
        std::vector<std::uint8_t> levels;
        std::uint32_t sent;
        std::vector<Access> after;
    };
    // clang-format off
    const Case cases[] = {
        {{10, 12, 12}, 52, {}},
        {{10, 11, 10, 11, 10, 11, 10, 11, 10, 11}, 1, {}},
        {{64, 64}, 0, {W(IER, 0x00, 2), W(IER, 0x0F, 2)}},
        {{0xFF, 0xFF}, 0, {W(IER, 0x00, 2), W(IER, 0x0F, 2)}},
    };
    // clang-format on
    PortRecord& port = ports.Add(2, regs.Window(2));
    port.txHead = port.txTail = 8180;
    QueueTx(port, 100, 0);
    std::uint32_t first = 0;
    for (const Case& c : cases) {
        regs.ClearLog();
        regs.Script(TxLevel, c.levels, 2);
        TransmitService(2);
        std::vector<Access> expected;
        for (const std::uint8_t level : c.levels) expected.push_back(R(TxLevel, level, 2));
        const std::vector<Access> burst = Fifo('W', static_cast<std::uint8_t>(first), c.sent, 2);
        expected.insert(expected.end(), burst.begin(), burst.end());
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(regs.Log(), expected);
        first += c.sent;
        EXPECT_EQ(port.txCount, 100 - first);
        EXPECT_EQ(port.txActive, 1u) << "bytes are left for the next transmit interrupt";
        EXPECT_TRUE(fake::RingsConsistent(port));
    }
    regs.Set(TxLevel, 0, 2);
    TransmitService(2);
    EXPECT_EQ(port.txCount, 0u);
    EXPECT_EQ(port.txActive, 0u) << "the ring emptied: idle";
    regs.ClearLog();
    TransmitService(2);
    EXPECT_TRUE(regs.Log().empty()) << "an empty ring only clears txActive";
}

// RxLevel 3, 5, 5 drains five bytes across the ring's end; an unsettled level moves one byte,
// none when its last reading is 0; an error byte in the FIFO (LSR bit 7) moves one per pass; a
// level above the depth stays inside the burst window.
TEST_F(Isr, ReceiveDrainsWhatAStableLevelReads) {
    struct Case {
        std::vector<std::uint8_t> levels;
        std::uint8_t lsr;
        std::uint32_t moved;
    };
    // clang-format off
    const Case cases[] = {
        {{3, 5, 5}, 0x61, 5},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, 0x61, 0},
        {{9, 8, 7, 6, 5, 4, 3, 2, 1, 2}, 0x61, 1},
        {{20, 20}, 0xE1, 1},
        {{0xFF, 0xFF}, 0x61, 64},
    };
    // clang-format on
    PortRecord& port = ports.Add(1, regs.Window(1));
    port.rxHead = port.rxTail = 8190;
    for (const Case& c : cases) {
        regs.ClearLog();
        regs.Script(RxLevel, c.levels, 1);
        regs.Set(LSR, c.lsr, 1);
        ScriptFifo(0xA0, c.moved, 1);
        const std::uint32_t before = port.rxCount;
        ReceiveService(1);
        std::vector<Access> expected;
        for (const std::uint8_t level : c.levels) expected.push_back(R(RxLevel, level, 1));
        if (c.levels.back() != 0) expected.push_back(R(LSR, c.lsr, 1));
        const std::vector<Access> burst = Fifo('R', 0xA0, c.moved, 1);
        expected.insert(expected.end(), burst.begin(), burst.end());
        EXPECT_EQ(regs.Log(), expected) << ::testing::PrintToString(c.levels);
        for (const Access& access : regs.Log()) {  // each FIFO byte in a section of its own
            EXPECT_EQ(access.disabled, access.offset % ChannelWindowSize >= FifoWindow);
        }
        EXPECT_EQ(port.rxCount - before, c.moved);
        EXPECT_TRUE(fake::RingsConsistent(port));
    }
    EXPECT_EQ(port.rxRing[8190], 0xA0);
    EXPECT_EQ(port.rxRing[2], 0xA4);
    EXPECT_EQ(port.lineErrors, 0) << "the LSR read of the receive path gathers nothing";
}

}  // namespace
