// The channel rules the driver relies on: read side effects, interrupt identification by
// priority and its clearing, the transmit-empty re-arm, the receive trigger and time-out,
// overrun, error bytes, modem change flags, the summary and the interrupt line.
#include <vector>

#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

using namespace sim::reg;

constexpr std::uint32_t Open = 5;  // an open line: the test is its far end

std::uint8_t Identification(sim::Board& board, std::uint32_t channel) {
    return static_cast<std::uint8_t>(board.Peek(channel).iir & 0x3F);
}

class Uart : public BoardTest {};

TEST_F(Uart, ReadingRhrTakesTheByteAndLsrShowsDataReadyUntilEmpty) {
    Configure(Open);
    const std::uint8_t bytes[] = {'A', 'B'};
    Board().Inject(Open, bytes);
    RunChars(2.1);
    EXPECT_EQ(Read(Open, Lsr) & lsr::DataReady, lsr::DataReady);
    EXPECT_EQ(Read(Open, Rhr), 'A');
    EXPECT_EQ(Read(Open, RxLevel), 1);
    EXPECT_EQ(Read(Open, FifoWindowStart + 17), 'B');  // any byte of the window takes the next
    EXPECT_EQ(Read(Open, Lsr) & lsr::DataReady, 0);
    EXPECT_EQ(Board().ChannelStats(Open).rxUnderreads, 0u);
    Read(Open, FifoWindowStart);
    EXPECT_EQ(Board().ChannelStats(Open).rxUnderreads, 1u);
}

TEST_F(Uart, DivisorLatchAccessShowsTheLatchAndLeavesTheFifoAlone) {
    Configure(Open);
    const std::uint8_t byte[] = {0x5A};
    Board().Inject(Open, byte);
    RunChars(1.1);
    Write(Open, Lcr, Lcr8N1 | lcr::Dlab);
    EXPECT_EQ(Read(Open, Rhr), Divisor115200);
    EXPECT_EQ(Read(Open, Ier), 0);
    Write(Open, Lcr, Lcr8N1);
    EXPECT_EQ(Read(Open, RxLevel), 1);
    EXPECT_EQ(Read(Open, Ier), ier::Standard);
    EXPECT_EQ(Read(Open, Rhr), 0x5A);
}

TEST_F(Uart, TransmitEmptyComesWhenItsEnableGoesOffToOnAndTheIirReadClearsIt) {
    Configure(Open, Divisor115200, Lcr8N1, 56, 56, 0);
    EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::None);
    Write(Open, Ier, ier::Standard);
    EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::TxEmpty);
    EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::None);
    Write(Open, Ier, ier::Standard);  // on to on: nothing
    EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::None);
    Write(Open, Ier, 0);
    Write(Open, Ier, ier::Standard);  // the transmit kick
    EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::TxEmpty);
}

TEST_F(Uart, TransmitEmptyReturnsWhenTheFifoDrainsToItsTriggerRoom) {
    Configure(Open);
    Read(Open, Iir);
    Send(Open, std::string(40, 'x'));  // one goes straight to the shift register
    ASSERT_EQ(Read(Open, TxLevel), 39);
    while (Board().Peek(Open).txLevel > 8) {
        EXPECT_NE(Identification(Board(), Open), iir::TxEmpty)
            << "at level " << Board().Peek(Open).txLevel;
        RunChars(1);
    }
    EXPECT_EQ(Board().Peek(Open).txLevel, 8u);  // free room 56, the trigger
    EXPECT_EQ(Identification(Board(), Open), iir::TxEmpty);
    EXPECT_EQ(Read(Open, Iir) & 0x3F, iir::TxEmpty);
    RunChars(8.5);  // drained without a new write: no second one
    EXPECT_EQ(Identification(Board(), Open), iir::None);
}

TEST_F(Uart, TransmitEmptyAfterASmallWriteComesAtTheNextCharacterOut) {
    Configure(Open);
    Read(Open, Iir);
    Send(Open, "abc");
    EXPECT_EQ(Identification(Board(), Open), iir::None);
    RunChars(1.01);
    EXPECT_EQ(Identification(Board(), Open), iir::TxEmpty);
    RunChars(3);
    EXPECT_EQ(Board().TakeSent(Open), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
}

TEST_F(Uart, ReceivedDataAvailableAtTheTriggerLevel) {
    Configure(Open, Divisor115200, Lcr8N1, 56, 8, ier::RxData);
    const std::vector<std::uint8_t> bytes(10, 0x33);
    Board().Inject(Open, bytes);
    RunChars(7.5);
    EXPECT_EQ(Identification(Board(), Open), iir::None);
    RunChars(1);
    EXPECT_EQ(Identification(Board(), Open), iir::RxData);
    Read(Open, Rhr);  // below the trigger again
    EXPECT_EQ(Identification(Board(), Open), iir::None);
}

TEST_F(Uart, ReceiveTimeoutAfterFourCharacterTimesWithoutFifoActivity) {
    Configure(Open, Divisor115200, Lcr8N1, 56, 56, ier::RxData);
    const std::vector<std::uint8_t> bytes = {1, 2, 3};
    Board().Inject(Open, bytes);
    RunChars(3 + 3.9);
    EXPECT_EQ(Identification(Board(), Open), iir::None);
    RunChars(0.2);
    EXPECT_EQ(Identification(Board(), Open), iir::RxTimeout);
    EXPECT_EQ(Read(Open, Rhr), 1);  // a read clears it and starts the count again
    EXPECT_EQ(Identification(Board(), Open), iir::None);
    RunChars(3.9);
    EXPECT_EQ(Identification(Board(), Open), iir::None);
    RunChars(0.2);
    EXPECT_EQ(Identification(Board(), Open), iir::RxTimeout);
    Drain(Open);
    RunChars(10);
    EXPECT_EQ(Identification(Board(), Open), iir::None);  // nothing left to time out
}

// Time moves without anyone looking (as it does between the driver's accesses in paced time):
// the access that finds the time-out due must already report it.
TEST_F(Uart, AnAccessSeesWhatFellDueBeforeIt) {
    Configure(Open, Divisor115200, Lcr8N1, 56, 56, ier::RxData);
    Board().Inject(Open, std::vector<std::uint8_t>{1, 2, 3});
    RunChars(3.1);
    Machine().GetClock().MoveTo(Machine().Now() + 5 * CharTime8N1);
    EXPECT_EQ(Read(Open, IntSummary), 1u << Open);
    EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::RxTimeout);
}

TEST_F(Uart, OverrunLosesTheCharacterThatFindsTheFifoFullAndShowsAtOnce) {
    Configure(Open);
    std::vector<std::uint8_t> bytes(70);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    Board().Inject(Open, bytes);
    RunChars(64.5);
    EXPECT_EQ(Read(Open, Lsr) & lsr::Overrun, 0);
    RunChars(1);
    EXPECT_EQ(Identification(Board(), Open), iir::LineStatus);
    EXPECT_EQ(Read(Open, Lsr) & lsr::Overrun, lsr::Overrun);
    EXPECT_EQ(Read(Open, Lsr) & lsr::Overrun, 0);  // the read cleared it
    RunChars(10);
    EXPECT_EQ(Board().ChannelStats(Open).overruns, 6u);
    const std::string kept = Drain(Open);
    ASSERT_EQ(kept.size(), 64u);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(static_cast<std::uint8_t>(kept[i]), i);
    }
}

TEST_F(Uart, ErrorsTravelWithTheirByteAndShowWhenItReachesTheTop) {
    Configure(Open);
    const std::uint8_t good[] = {'a'};
    const std::uint8_t bad[] = {'b'};
    Board().Inject(Open, good);
    Board().Inject(Open, bad, lsr::Parity);
    Board().Inject(Open, good);
    RunChars(3.1);
    EXPECT_EQ(Board().Peek(Open).lsr & (lsr::Parity | lsr::FifoError), lsr::FifoError);
    EXPECT_NE(Identification(Board(), Open), iir::LineStatus);
    EXPECT_EQ(Read(Open, Rhr), 'a');
    EXPECT_EQ(Identification(Board(), Open), iir::LineStatus);
    EXPECT_EQ(Read(Open, Lsr) & (lsr::Parity | lsr::FifoError), lsr::Parity | lsr::FifoError);
    EXPECT_EQ(Read(Open, Lsr) & (lsr::Parity | lsr::FifoError), 0);  // no other error waits
    EXPECT_EQ(Read(Open, Rhr), 'b');
    EXPECT_EQ(Read(Open, Rhr), 'a');
}

TEST_F(Uart, FifoErrorBitStaysWhileAnotherErrorByteWaits) {
    Configure(Open);
    const std::uint8_t bytes[] = {'x', 'y'};
    Board().Inject(Open, bytes, lsr::Framing);
    RunChars(2.1);
    EXPECT_EQ(Read(Open, Lsr) & (lsr::Framing | lsr::FifoError), lsr::Framing | lsr::FifoError);
    EXPECT_EQ(Read(Open, Lsr) & lsr::FifoError, lsr::FifoError);  // 'y' still waits
    Read(Open, Rhr);
    EXPECT_EQ(Read(Open, Lsr) & (lsr::Framing | lsr::FifoError), lsr::Framing | lsr::FifoError);
    EXPECT_EQ(Read(Open, Lsr) & lsr::FifoError, 0);
}

// Every source pending at once: the identification goes down the priorities as each is served.
TEST_F(Uart, InterruptsAreIdentifiedByPriorityAndClearedByTheirOwnReads) {
    Configure(Open);  // enabling the sources raised transmit-empty
    Board().Inject(Open, std::vector<std::uint8_t>(65, 0x42));
    Board().SetFarEndModem(Open, msr::Cts);
    RunChars(65.5);
    const std::vector<std::pair<std::uint8_t, std::uint32_t>> steps = {
        {iir::LineStatus, Lsr},  // the overrun
        {iir::RxData, 0},        // 64 bytes, over the trigger: drained below
        {iir::TxEmpty, Iir},     // cleared by the read that reports it
        {iir::ModemStatus, Msr},
        {iir::None, 0},
    };
    for (const auto& [expected, clearing] : steps) {
        ASSERT_EQ(Read(Open, Iir), iir::FifosOn | expected);
        if (expected == iir::RxData) {
            Drain(Open);
        } else if (clearing != 0 && clearing != Iir) {
            Read(Open, clearing);
        }
    }
}

TEST_F(Uart, SummaryAndInterruptLineFollowThePendingChannels) {
    EXPECT_FALSE(Board().LineAsserted());
    Configure(0);
    Configure(2);
    EXPECT_EQ(Read(0, IntSummary), 0x05);
    EXPECT_EQ(Read(7, IntSummary), 0x05);  // the device block answers in every window
    EXPECT_TRUE(Board().LineAsserted());
    Read(0, Iir);
    EXPECT_EQ(Read(0, IntSummary), 0x04);
    Read(2, Iir);
    EXPECT_EQ(Read(0, IntSummary), 0x00);
    EXPECT_FALSE(Board().LineAsserted());
}

TEST_F(Uart, ModemStatusShowsTheFarEndsLinesWithChangeFlagsThatTheReadClears) {
    Configure(0);
    Configure(1);
    Read(1, Iir);
    Write(0, Mcr, mcr::Dtr | mcr::Rts);
    EXPECT_EQ(Identification(Board(), 1), iir::ModemStatus);
    EXPECT_EQ(Read(1, Msr), msr::Cts | msr::Dsr | msr::Dcd | msr::DeltaCts | msr::DeltaDsr |
                                msr::DeltaDcd);
    EXPECT_EQ(Read(1, Msr), msr::Cts | msr::Dsr | msr::Dcd);
    Write(0, Mcr, mcr::Dtr);
    EXPECT_EQ(Read(1, Msr), msr::Dsr | msr::Dcd | msr::DeltaCts);
    Board().SetFarEndModem(Open, msr::Ri);
    Board().SetFarEndModem(Open, 0);
    EXPECT_EQ(Read(Open, Msr) & msr::TrailingRi, msr::TrailingRi);
}

TEST_F(Uart, LevelCountersCanBeMadeUnstableWithoutOverstating) {
    Configure(Open);
    Board().Inject(Open, std::vector<std::uint8_t>(5, 0));
    RunChars(5.5);
    Board().SetUnstableLevels(Open, 6);
    std::vector<int> readings;
    for (int i = 0; i < 8; ++i) {
        readings.push_back(Read(Open, RxLevel));
    }
    EXPECT_EQ(readings, (std::vector<int>{4, 5, 4, 5, 4, 5, 5, 5}));
}

TEST_F(Uart, FifoResetEmptiesTheFifosAndTheFifosOffHoldOneByte) {
    Configure(Open);
    Board().Inject(Open, std::vector<std::uint8_t>(3, 7));
    RunChars(3.5);
    Write(Open, Iir, fcr::Enable | fcr::ResetRx);
    EXPECT_EQ(Read(Open, RxLevel), 0);
    Write(Open, Iir, 0);  // FIFOs off: a 16450's single holding register
    EXPECT_EQ(Read(Open, Iir) & iir::FifosOn, 0);
    Board().Inject(Open, std::vector<std::uint8_t>{1, 2});
    RunChars(2.5);
    EXPECT_EQ(Read(Open, Lsr) & lsr::Overrun, lsr::Overrun);
    EXPECT_EQ(Read(Open, Rhr), 1);
}

TEST_F(Uart, PrescalerWritesNeedTheEnhancedFunctions) {
    Configure(Open);
    Write(Open, Mcr, mcr::Prescale);
    EXPECT_EQ(Read(Open, Mcr), 0);
    Write(Open, FeatureCtl, feature::Enhanced);
    Write(Open, Mcr, mcr::Prescale);
    EXPECT_EQ(Read(Open, Mcr), mcr::Prescale);
    EXPECT_EQ(Board().Peek(Open).format.bitTime, 4 * CharTime8N1 / 10);
}

}  // namespace
}  // namespace simtest
