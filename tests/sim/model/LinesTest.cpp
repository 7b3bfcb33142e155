// The serial lines between channels: character timing from divisor and format, bytes crossing
// null-modem and loopback lines, modem lines crossed, break, receivers at the wrong rate or
// format, and the flow control the channel does by itself.
#include <vector>

#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

using namespace sim::reg;

class Lines : public BoardTest {};

TEST_F(Lines, NullModemCarriesBytesBothWaysInOrder) {
    Configure(0);
    Configure(1);
    Send(0, "ping");
    Send(1, "pong!");
    RunChars(6);
    EXPECT_EQ(Drain(1), "ping");
    EXPECT_EQ(Drain(0), "pong!");
    EXPECT_EQ(Board().ChannelStats(0).charsSent, 4u);
    EXPECT_EQ(Board().ChannelStats(0).charsReceived, 5u);
}

TEST_F(Lines, LoopbackReturnsToTheSameChannelAndOpenLinesKeepWhatWasSent) {
    Configure(4);
    Configure(5);
    Send(4, "echo");
    Send(5, "lost?");
    RunChars(6);
    EXPECT_EQ(Drain(4), "echo");
    EXPECT_EQ(Drain(5), "");
    const std::vector<std::uint8_t> sent = Board().TakeSent(5);
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "lost?");
    EXPECT_TRUE(Board().TakeSent(5).empty());
}

struct Timing {
    std::uint16_t divisor;
    std::uint8_t lcr;
    double bits;  // start + data + parity + stop
};

class CharacterTiming : public BoardTest, public ::testing::WithParamInterface<Timing> {};

TEST_P(CharacterTiming, ACharacterTakesTheTimeOfItsBitsAtSixteenClocksPerDivisorStep) {
    const Timing timing = GetParam();
    Configure(0, timing.divisor, timing.lcr);
    Configure(1, timing.divisor, timing.lcr);
    const double bitTime = 16.0 * timing.divisor * 1e12 / 14745600.0;
    const auto charTime = static_cast<sim::SimTime>(timing.bits * bitTime);
    Send(0, "\x55");
    Run(charTime - charTime / 100);
    EXPECT_EQ(Read(1, RxLevel), 0);
    Run(charTime / 50);
    EXPECT_EQ(Read(1, RxLevel), 1);
    EXPECT_EQ(Read(1, Lsr) & lsr::ByteErrors, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, CharacterTiming,
                         ::testing::Values(Timing{8, 0x03, 10},      // 115200 8N1
                                           Timing{96, 0x1A, 10},     // 9600 7E1
                                           Timing{1, 0x0F, 12},      // 921600 8O2
                                           Timing{384, 0x04, 7.5},   // 2400 5N1.5
                                           Timing{3, 0x2B, 11}));    // 307200 8M1

TEST_F(Lines, ReceiverAtAnotherRateGetsFramingErrors) {
    Configure(0, 8);
    Configure(1, 9);  // 12 % slower: the stop bit is sampled in the next start bit or later
    Send(0, std::string(20, '\x00'));
    RunChars(25);
    std::uint32_t framing = 0;
    for (std::uint8_t status = Read(1, Lsr); (status & lsr::DataReady) != 0; status = Read(1, Lsr)) {
        framing += (status & lsr::Framing) != 0 ? 1 : 0;
        Read(1, Rhr);
    }
    EXPECT_GT(framing, 0u);
}

TEST_F(Lines, ReceiverWithinACharactersToleranceReadsCleanly) {
    Configure(0, 100);
    Configure(1, 102);  // 2 % apart
    Send(0, "tolerance");
    RunChars(9 * 13 + 2);
    std::string bytes;
    for (std::uint8_t status = Read(1, Lsr); (status & lsr::DataReady) != 0; status = Read(1, Lsr)) {
        EXPECT_EQ(status & lsr::ByteErrors, 0);
        bytes.push_back(static_cast<char>(Read(1, Rhr)));
    }
    EXPECT_EQ(bytes, "tolerance");
}

TEST_F(Lines, ReceiverExpectingParityChecksTheSendersStopBit) {
    Configure(0, 8, 0x03);  // 8N1
    Configure(1, 8, 0x1B);  // 8E1
    Send(0, "\x03\x01");
    RunChars(3);
    EXPECT_EQ(Read(1, Lsr) & lsr::Parity, lsr::Parity);  // two ones want a 0, the stop bit is 1
    EXPECT_EQ(Read(1, Rhr), 0x03);
    EXPECT_EQ(Read(1, Lsr) & lsr::ByteErrors, 0);        // one 1 wants a 1: it matches
    EXPECT_EQ(Read(1, Rhr), 0x01);
}

TEST_F(Lines, BreakArrivesAsOneZeroByteWithBreakAndFraming) {
    Configure(0);
    Configure(1);
    Write(0, Lcr, Lcr8N1 | lcr::Break);
    RunChars(3.5);
    EXPECT_EQ(Read(1, RxLevel), 1);
    Write(0, Lcr, Lcr8N1);
    RunChars(2);
    EXPECT_EQ(Read(1, RxLevel), 1);
    EXPECT_EQ(Read(1, Lsr) & (lsr::Break | lsr::Framing), lsr::Break | lsr::Framing);
    EXPECT_EQ(Read(1, Rhr), 0);
}

TEST_F(Lines, CharactersSentDuringABreakAreLost) {
    Configure(0);
    Configure(1);
    Write(0, Lcr, Lcr8N1 | lcr::Break);
    Send(0, "gone");
    RunChars(5);
    Write(0, Lcr, Lcr8N1);
    Send(0, "kept");
    RunChars(5);
    EXPECT_EQ(Drain(1), std::string("\0kept", 5));
}

TEST_F(Lines, FarEndBreakAndShortSpace) {
    Configure(5);
    Board().InjectBreak(5, 5 * CharTime8N1);
    RunChars(6);
    EXPECT_EQ(Read(5, Lsr) & lsr::Break, lsr::Break);
    EXPECT_EQ(Drain(5), std::string(1, '\0'));
    // Space past the stop bit's sample but not to its end: a framing error, not a break.
    Board().InjectBreak(5, CharTime8N1 * 97 / 100);
    RunChars(2);
    const std::uint8_t lsr = Read(5, Lsr);
    EXPECT_EQ(lsr & (lsr::Break | lsr::Framing), lsr::Framing);
}

TEST_F(Lines, AutomaticCtsHoldsTheTransmitterUntilThePeerRaisesRts) {
    Configure(0);
    Configure(1);
    Write(0, FeatureCtl, feature::Enhanced | feature::AutoCts);
    Send(0, "held");
    RunChars(10);
    EXPECT_EQ(Read(1, RxLevel), 0);
    EXPECT_TRUE(Board().Peek(0).txHeld);
    Write(1, Mcr, mcr::Rts);
    RunChars(5);
    EXPECT_EQ(Drain(1), "held");
}

TEST_F(Lines, AutomaticRtsStopsThePeerBeforeTheFifoOverflows) {
    Configure(0);
    Configure(1);
    Write(0, FeatureCtl, feature::Enhanced | feature::AutoCts);
    Write(1, FeatureCtl, feature::Enhanced | feature::AutoRts);
    Write(1, Mcr, mcr::Rts);
    std::string sent;
    for (int i = 0; i < 100; ++i) {
        sent.push_back(static_cast<char>('A' + i % 26));
    }
    Send(0, sent.substr(0, 64));
    RunChars(70);
    EXPECT_FALSE(Board().Peek(1).rtsOut);
    EXPECT_LE(Read(1, RxLevel), 58);  // stopped at the trigger, plus the one under way
    EXPECT_EQ(Board().ChannelStats(1).overruns, 0u);
    std::string received = Drain(1);
    Send(0, sent.substr(64));
    RunChars(70);
    received += Drain(1);
    RunChars(70);
    received += Drain(1);
    EXPECT_EQ(received, sent);
}

TEST_F(Lines, XonXoffStopsAndRestartsTheSender) {
    Configure(0);
    Configure(1);
    Write(0, Xoff, 0x13);
    Write(0, Xon, 0x11);
    Write(1, Xoff, 0x13);
    Write(1, Xon, 0x11);
    Write(0, FeatureCtl, feature::Enhanced | feature::XonXoffReceive);
    Write(1, FeatureCtl, feature::Enhanced | feature::XonXoffTransmit);
    Send(0, std::string(64, 'x'));
    RunChars(70);
    EXPECT_LT(Read(1, RxLevel), 64);
    EXPECT_GT(Read(0, TxLevel), 0);  // told to stop
    EXPECT_EQ(Board().ChannelStats(1).overruns, 0u);
    std::string received = Drain(1);  // drained: XON goes out and the rest follows
    RunChars(70);
    received += Drain(1);
    EXPECT_EQ(received, std::string(64, 'x'));
    EXPECT_EQ(Drain(0), "");  // XON and XOFF are acted on, not stored
}

TEST_F(Lines, Rs485DirectionCoversTheDataAndTheTurnaroundDelay) {
    Configure(0);
    Configure(1);
    Write(0, FifoTrigCtl, fifotrig::ProgrammedLevels | fifotrig::AutoDirection);
    Write(0, Msr, 20);  // TurnaroundDelay: 20 bit times = two characters
    EXPECT_FALSE(Board().Peek(0).directionActive);
    Read(1, Msr);
    Send(0, "ab");
    EXPECT_TRUE(Board().Peek(0).directionActive);
    EXPECT_EQ(Read(1, Msr) & (msr::Cts | msr::DeltaCts), msr::Cts | msr::DeltaCts);
    RunChars(3.9);
    EXPECT_TRUE(Board().Peek(0).directionActive);
    RunChars(0.2);
    EXPECT_FALSE(Board().Peek(0).directionActive);
    EXPECT_EQ(Read(1, Msr) & (msr::Cts | msr::DeltaCts), msr::DeltaCts);
}

TEST_F(Lines, NoDivisorNoCharacters) {
    Configure(0, 0);
    Configure(1);
    Send(0, "x");
    RunChars(100);
    EXPECT_EQ(Read(1, RxLevel), 0);
    EXPECT_EQ(Board().ChannelStats(0).charsSent, 0u);
}

}  // namespace
}  // namespace simtest
