#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/Isr.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::Access;
using fake::R;
using fake::W;

namespace {

volatile std::uint8_t* Address(ChannelRegs* window, RegOffset reg) {
    return reinterpret_cast<volatile std::uint8_t*>(reinterpret_cast<std::uint8_t*>(window) + reg);
}

class Isr : public ::testing::Test {
protected:
    IsrContext Context(bool pinPulse = false) {
        return {Address(regs.Window(0), IntSummary),
                pinPulse ? Address(regs.Window(0), PinLevel) : nullptr,
                static_cast<std::uint8_t>(pinPulse ? 1 : 0)};
    }

    // What WritePort would have left: count bytes queued from txHead on.
    static void QueueTx(PortRecord& port, std::uint32_t count, std::uint8_t first) {
        for (std::uint32_t i = 0; i < count; ++i) {
            port.txRing[port.txHead] = static_cast<std::uint8_t>(first + i);
            port.txHead = (port.txHead + 1) % RingSize;
        }
        port.txCount += count;
    }

    static std::vector<Access> FifoWrites(std::uint8_t first, std::uint32_t count,
                                          std::uint32_t channel) {
        std::vector<Access> writes;
        for (std::uint32_t i = 0; i < count; ++i) {
            writes.push_back(W(static_cast<RegOffset>(FifoWindow + i),
                               static_cast<std::uint8_t>(first + i), channel));
        }
        return writes;
    }

    // Scripts count receive FIFO bytes first, first + 1, ... at FifoWindow + 0, + 1, ...
    void ScriptFifo(std::uint8_t first, std::uint32_t count, std::uint32_t channel) {
        for (std::uint32_t i = 0; i < count; ++i) {
            regs.Script(static_cast<RegOffset>(FifoWindow + i), {static_cast<std::uint8_t>(first + i)},
                        channel);
        }
    }

    std::uint32_t Reads(RegOffset reg, std::uint32_t channel) const {
        std::uint32_t reads = 0;
        for (const Access& access : regs.Log()) {
            reads += access == R(reg, access.value, channel) ? 1 : 0;
        }
        return reads;
    }

    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
};

TEST_F(Isr, NullContextTouchesNoRegister) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(InterruptService(nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Isr context NULL\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(InterruptPrecheck(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Isr context NULL\n");
    IsrContext unfilled{};  // set-up has not stored the summary address yet
    testing::internal::CaptureStdout();
    EXPECT_EQ(InterruptService(&unfilled), 1);
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(InterruptPrecheck(&unfilled), 0);
    testing::internal::GetCapturedStderr();
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
// came up meanwhile, before channel 2.
TEST_F(Isr, ServesTheLowestPendingChannelOfAFreshSummary) {
    for (std::uint8_t channel = 0; channel < 3; ++channel) {
        ports.Add(channel, regs.Window(channel));
        regs.Script(IIR, {0xC0, 0xC1}, channel);  // modem status, then nothing; top bits masked
    }
    regs.Script(IntSummary, {0x06, 0x05, 0x04, 0x00});
    IsrContext context = Context();
    EXPECT_EQ(InterruptService(&context), 1);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              R(IntSummary, 0x06),
                              R(IIR, 0xC0, 1), R(MSR, 0x00, 1), R(IIR, 0xC1, 1),
                              R(IntSummary, 0x05),
                              R(IIR, 0xC0, 0), R(MSR, 0x00, 0), R(IIR, 0xC1, 0),
                              R(IntSummary, 0x04),
                              R(IIR, 0xC0, 2), R(MSR, 0x00, 2), R(IIR, 0xC1, 2),
                              R(IntSummary, 0x00),
                          }));
}

TEST_F(Isr, SummaryBit7ServesChannel7) {
    ports.Add(7, regs.Window(7));
    regs.Script(IntSummary, {0x80, 0x00});
    regs.Script(IIR, {0x20, 0x01}, 7);  // 0x20 is served as modem status
    IsrContext context = Context();
    EXPECT_EQ(InterruptService(&context), 1);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IntSummary, 0x80), R(IIR, 0x20, 7),
                                               R(MSR, 0x00, 7), R(IIR, 0x01, 7),
                                               R(IntSummary, 0x00)}));
}

TEST_F(Isr, NothingPendingAtTheFirstLook) {
    ports.Add(0, regs.Window(0));
    regs.Set(IIR, 0x01, 0);
    EXPECT_EQ(ServiceChannel(0), 0);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IIR, 0x01, 0)}));

    // A summary bit whose channel shows nothing pending is set aside for this call: the service
    // ends instead of spinning on it, and reports that the last channel had nothing.
    regs.ClearLog();
    regs.Set(IntSummary, 0x01);
    IsrContext context = Context();
    EXPECT_EQ(InterruptService(&context), 0);
    EXPECT_EQ(regs.Log(),
              (std::vector<Access>{R(IntSummary, 0x01), R(IIR, 0x01, 0), R(IntSummary, 0x01)}));
}

TEST_F(Isr, PinPulseSpansTheWholeService) {
    ports.Add(0, regs.Window(0));
    regs.Script(IntSummary, {0x01, 0x00, 0x00});
    regs.Script(IIR, {0x00, 0x01}, 0);
    IsrContext pulsed = Context(true);
    InterruptService(&pulsed);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{W(PinLevel, 0xFF), R(IntSummary, 0x01),
                                               R(IIR, 0x00, 0), R(MSR, 0x00, 0), R(IIR, 0x01, 0),
                                               R(IntSummary, 0x00), W(PinLevel, 0xFE)}));
    regs.ClearLog();
    InterruptService(&pulsed);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{W(PinLevel, 0xFF), R(IntSummary, 0x00),
                                               W(PinLevel, 0xFE)}))
        << "also when nothing is pending";
    regs.ClearLog();
    IsrContext plain = Context(false);
    InterruptService(&plain);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IntSummary, 0x00)}));
    regs.ClearLog();
    IsrContext noAddress = Context(false);
    noAddress.pinPulse = 1;  // pulse asked for, but no address to pulse through
    InterruptService(&noAddress);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IntSummary, 0x00)}));
}

TEST_F(Isr, LineStatusGathersTheErrorBits) {
    PortRecord& port = ports.Add(4, regs.Window(4));
    port.lineErrors = 0x80;
    regs.Script(IIR, {0x06, 0x06, 0x06, 0x01}, 4);
    regs.Script(LSR, {0x61, 0x63, 0xFF}, 4);  // no error; overrun; everything
    EXPECT_EQ(ServiceChannel(4), 1);
    EXPECT_EQ(Reads(LSR, 4), 3u);
    EXPECT_EQ(port.lineErrors, 0x9E) << "only the bits of 0x9E, ORed in";
}

TEST_F(Isr, UnknownIdentificationsAreReadAgain) {
    ports.Add(3, regs.Window(3));
    regs.Script(IIR, {0x08, 0x0E, 0x3E, 0x01}, 3);
    EXPECT_EQ(ServiceChannel(3), 1);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IIR, 0x08, 3), R(IIR, 0x0E, 3), R(IIR, 0x3E, 3),
                                               R(IIR, 0x01, 3)}));
}

// --- transmit ----------------------------------------------------------------------------------

TEST_F(Isr, TransmitFillsTheRoomOfAStableLevel) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    port.txHead = port.txTail = 8180;  // the burst wraps around the end of the storage
    QueueTx(port, 100, 0);
    regs.Script(TxLevel, {10, 12, 12}, 2);
    regs.Script(IIR, {0x02, 0x01}, 2);
    EXPECT_EQ(ServiceChannel(2), 1);
    std::vector<Access> expected = {R(IIR, 0x02, 2), R(TxLevel, 10, 2), R(TxLevel, 12, 2),
                                    R(TxLevel, 12, 2)};
    const std::vector<Access> burst = FifoWrites(0, 52, 2);  // 64 - 12
    expected.insert(expected.end(), burst.begin(), burst.end());
    expected.push_back(R(IIR, 0x01, 2));
    EXPECT_EQ(regs.Log(), expected);
    EXPECT_EQ(port.txCount, 48u);
    EXPECT_EQ(port.txTail, 40u);
    EXPECT_EQ(port.txActive, 1u) << "bytes are left for the next transmit interrupt";
    EXPECT_TRUE(fake::RingsConsistent(port));
}

TEST_F(Isr, TransmitEmptiesTheRingAndGoesIdle) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    QueueTx(port, 5, 0x30);
    TransmitService(2);
    std::vector<Access> expected = {R(TxLevel, 0, 2), R(TxLevel, 0, 2)};
    const std::vector<Access> burst = FifoWrites(0x30, 5, 2);
    expected.insert(expected.end(), burst.begin(), burst.end());
    EXPECT_EQ(regs.Log(), expected);
    EXPECT_EQ(port.txCount, 0u);
    EXPECT_EQ(port.txActive, 0u);
}

TEST_F(Isr, TransmitLevelThatNeverSettlesSendsOneByte) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    QueueTx(port, 20, 0x40);
    regs.Script(TxLevel, {10, 11, 10, 11, 10, 11, 10, 11, 10, 11, 10}, 2);
    TransmitService(2);
    EXPECT_EQ(Reads(TxLevel, 2), 10u);
    EXPECT_EQ(regs.Writes(), FifoWrites(0x40, 1, 2));
    EXPECT_EQ(port.txCount, 19u);
    EXPECT_EQ(port.txActive, 1u);
}

// No room by the reading sends nothing; the enables are turned off and on so that a transmit
// interrupt comes again even when the reading was a glitch on an empty FIFO.
TEST_F(Isr, NoRoomSendsNothingAndReArmsTheTransmitInterrupt) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    QueueTx(port, 20, 0);
    for (const std::uint8_t level : {std::uint8_t{64}, std::uint8_t{0xFF}}) {  // 0xFF: a glitch
        regs.ClearLog();
        regs.Set(TxLevel, level, 2);
        TransmitService(2);
        EXPECT_EQ(regs.Log(), (std::vector<Access>{R(TxLevel, level, 2), R(TxLevel, level, 2),
                                                   W(IER, 0x00, 2), W(IER, 0x0F, 2)}));
        EXPECT_EQ(port.txCount, 20u);
        EXPECT_EQ(port.txTail, 0u);
        EXPECT_EQ(port.txActive, 1u) << "the next transmit interrupt comes back";
    }
}

TEST_F(Isr, TransmitInterruptWithAnEmptyRingOnlyClearsTxActive) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    port.txActive = 1;
    TransmitService(2);
    EXPECT_EQ(port.txActive, 0u);
    EXPECT_TRUE(regs.Log().empty());
}

// --- receive -----------------------------------------------------------------------------------

TEST_F(Isr, ReceiveDrainsAStableLevel) {
    PortRecord& port = ports.Add(1, regs.Window(1));
    port.rxHead = port.rxTail = 8190;
    regs.Script(RxLevel, {3, 5, 5}, 1);
    regs.Set(LSR, 0x61, 1);
    ScriptFifo(0xA0, 5, 1);
    regs.Script(IIR, {0x0C, 0x01}, 1);  // receive time-out
    EXPECT_EQ(ServiceChannel(1), 1);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              R(IIR, 0x0C, 1), R(RxLevel, 3, 1), R(RxLevel, 5, 1), R(RxLevel, 5, 1),
                              R(LSR, 0x61, 1),
                              R(FifoWindow + 0, 0xA0, 1), R(FifoWindow + 1, 0xA1, 1),
                              R(FifoWindow + 2, 0xA2, 1), R(FifoWindow + 3, 0xA3, 1),
                              R(FifoWindow + 4, 0xA4, 1), R(IIR, 0x01, 1)}));
    EXPECT_EQ(port.rxCount, 5u);
    EXPECT_EQ(port.rxHead, 3u);
    EXPECT_EQ(port.rxRing[8190], 0xA0);
    EXPECT_EQ(port.rxRing[2], 0xA4);
    EXPECT_EQ(port.lineErrors, 0) << "the LSR read of the receive path gathers nothing";
    EXPECT_TRUE(fake::RingsConsistent(port));
}

TEST_F(Isr, ReceiveLevelZeroReadsNothing) {
    ports.Add(1, regs.Window(1));
    ReceiveService(1);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(RxLevel, 0, 1), R(RxLevel, 0, 1)}));
}

TEST_F(Isr, ReceiveLevelThatNeverSettles) {
    PortRecord& port = ports.Add(1, regs.Window(1));
    regs.Script(RxLevel, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, 1);
    ReceiveService(1);
    EXPECT_EQ(Reads(RxLevel, 1), 10u);
    EXPECT_EQ(regs.Log().size(), 10u) << "last reading 0: nothing read";

    regs.ClearLog();
    regs.Script(RxLevel, {9, 8, 7, 6, 5, 4, 3, 2, 1, 2}, 1);
    ScriptFifo(0x11, 1, 1);
    ReceiveService(1);
    EXPECT_EQ(Reads(FifoWindow, 1), 1u) << "last reading non-zero: one byte";
    EXPECT_EQ(regs.Log().size(), 12u);
    EXPECT_EQ(port.rxCount, 1u);
    EXPECT_EQ(port.rxRing[0], 0x11);
}

TEST_F(Isr, ErrorInTheFifoMovesOneBytePerPass) {
    PortRecord& port = ports.Add(6, regs.Window(6));
    regs.Set(RxLevel, 20, 6);
    regs.Set(LSR, 0xE1, 6);
    ScriptFifo(0x70, 1, 6);
    ReceiveService(6);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(RxLevel, 20, 6), R(RxLevel, 20, 6),
                                               R(LSR, 0xE1, 6), R(FifoWindow, 0x70, 6)}));
    EXPECT_EQ(port.rxCount, 1u);
}

TEST_F(Isr, ReceiveLevelAboveTheFifoDepthStaysInsideTheWindow) {
    PortRecord& port = ports.Add(1, regs.Window(1));
    regs.Set(RxLevel, 0xFF, 1);
    ReceiveService(1);
    EXPECT_EQ(Reads(FifoWindow + 63, 1), 1u);
    for (const Access& access : regs.Log()) {
        EXPECT_LT(access.offset, ChannelWindowSize + FifoWindow + FifoWindowSize);
    }
    EXPECT_EQ(port.rxCount, 64u);
}

TEST_F(Isr, FullRingDropsAndFlagsOverrun) {
    PortRecord& port = ports.Add(1, regs.Window(1));
    port.rxTail = 100;
    port.rxCount = 8190;
    port.rxHead = (100 + 8190) % RingSize;
    regs.Set(RxLevel, 10, 1);
    ScriptFifo(0x50, 10, 1);
    ReceiveService(1);
    EXPECT_EQ(Reads(FifoWindow + 9, 1), 1u) << "every byte of the level is read";
    EXPECT_EQ(regs.Log().size(), 13u);
    EXPECT_EQ(port.rxCount, RingSize);
    EXPECT_EQ(port.rxRing[98], 0x50);
    EXPECT_EQ(port.rxRing[99], 0x51);
    EXPECT_EQ(port.rxHead, 100u);
    EXPECT_EQ(port.lineErrors, 0x02);
    EXPECT_TRUE(fake::RingsConsistent(port));
}

// --- channels the service cannot serve ---------------------------------------------------------

TEST_F(Isr, ChannelsWithoutARecordAreNeverTouched) {
    ports.Add(0, regs.Window(0));
    regs.Script(IntSummary, {0x05, 0x04, 0xF4});
    regs.Script(IIR, {0x00, 0x01}, 0);
    IsrContext context = Context();
    EXPECT_EQ(InterruptService(&context), 1);
    EXPECT_EQ(regs.Log(), (std::vector<Access>{R(IntSummary, 0x05), R(IIR, 0x00, 0),
                                               R(MSR, 0x00, 0), R(IIR, 0x01, 0),
                                               R(IntSummary, 0x04)}))
        << "only unservable bits left: the service ends";

    regs.ClearLog();
    for (const std::uint8_t channel : {std::uint8_t{2}, std::uint8_t{8}, std::uint8_t{255}}) {
        EXPECT_EQ(ServiceChannel(channel), 0);
        TransmitService(channel);
        ReceiveService(channel);
    }
    EXPECT_TRUE(regs.Log().empty());
}

// A channel whose IIR never reports "nothing pending" is left after MaxChannelPasses passes and
// set aside; the other channels are still served, and the service returns.
TEST_F(Isr, StuckChannelIsLeftAfterTheBoundAndStarvesNoOther) {
    ports.Add(0, regs.Window(0));
    ports.Add(1, regs.Window(1));
    regs.Set(IIR, 0x08, 0);  // an identification with nothing to do, for ever
    EXPECT_EQ(ServiceChannel(0), 1);
    EXPECT_EQ(Reads(IIR, 0), MaxChannelPasses + 1);

    regs.ClearLog();
    regs.Set(IntSummary, 0x03);  // the summary never clears either
    regs.Set(IIR, 0x01, 1);
    regs.Script(IIR, {0x00, 0x01}, 1);
    IsrContext context = Context();
    EXPECT_EQ(InterruptService(&context), 0);
    EXPECT_EQ(Reads(IIR, 0), MaxChannelPasses + 1) << "served once, then set aside";
    EXPECT_EQ(Reads(MSR, 1), 1u) << "channel 1 is served after it";
    EXPECT_EQ(Reads(IntSummary, 0), 4u);
}

}  // namespace
