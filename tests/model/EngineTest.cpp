// The port engine against the simulated board, in manual time: ports opened and configured,
// bytes written and read through the rings, interrupts delivered by the host backend.
#include <string>

#include "hw/Eeprom.h"
#include "hw/RegisterAccess.h"
#include "port/Isr.h"
#include "port/LineSignals.h"
#include "port/PortOps.h"
#include "tests/model/EngineFixture.h"

namespace modeltest {
namespace {

std::string Pattern(std::size_t length, std::uint8_t mask, std::uint32_t seed) {
    std::string bytes;
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>((state >> 16) & mask));
    }
    return bytes;
}

struct Format {
    Line line;
    std::uint8_t mask;  // the data bits the word length carries
    double bits;        // per character
};

class EngineFormats : public ::testing::TestWithParam<Format> {};

TEST_P(EngineFormats, BytesCrossANullModemPairByteExactInBothDirections) {
    const Format format = GetParam();
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    engine.SetStep(CharTime(format.line.baud, format.bits) / 3);
    ASSERT_TRUE(engine.Open(2, format.line));
    ASSERT_TRUE(engine.Open(3, format.line));
    const std::string there = Pattern(300, format.mask, 1);
    const std::string back = Pattern(200, format.mask, 2);
    engine.WriteAll(2, there);
    engine.WriteAll(3, back);
    std::string atThree;
    std::string atTwo;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            atThree += engine.ReadAvailable(3);
            atTwo += engine.ReadAvailable(2);
            return atThree.size() >= there.size() && atTwo.size() >= back.size();
        },
        400 * CharTime(format.line.baud, format.bits)));
    EXPECT_EQ(atThree, there);
    EXPECT_EQ(atTwo, back);
    EXPECT_EQ(engine.Port(2).lineErrors.load(), 0);
    EXPECT_EQ(engine.Port(3).lineErrors.load(), 0);
    EXPECT_EQ(engine.Port(2).txActive.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, EngineFormats,
    ::testing::Values(Format{Line{115200, 'n', 8, 1}, 0xFF, 10},
                      Format{Line{9600, 'e', 7, 1}, 0x7F, 10},
                      Format{Line{921600, 'o', 8, 2}, 0xFF, 12},
                      Format{Line{57600, 's', 6, 1}, 0x3F, 9},
                      Format{Line{2400, 'n', 5, 3}, 0x1F, 7.5},
                      Format{Line{460800, 'm', 8, 1}, 0xFF, 11}));

TEST(Engine, ShortMessageArrivesThroughTheReceiveTimeout) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(0, Line{}));
    ASSERT_TRUE(engine.Open(1, Line{}));
    engine.WriteAll(0, "hi!");
    engine.Pump(CharTime(115200) * 6);  // in the FIFO, below the trigger, not yet timed out
    EXPECT_EQ(engine.Port(1).rxCount.load(), 0u);
    EXPECT_EQ(engine.Board().Peek(1).rxLevel, 3u);
    engine.Pump(CharTime(115200) * 2);
    EXPECT_EQ(engine.ReadAvailable(1), "hi!");
}

TEST(Engine, BreakParityAndFramingReachLineErrors) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(0, Line{}));
    ASSERT_TRUE(engine.Open(1, Line{}));
    SetBreak(&engine.Port(0));
    engine.Pump(CharTime(115200) * 3);
    ClearBreak(&engine.Port(0));
    engine.Pump(CharTime(115200) * 6);
    EXPECT_EQ(engine.Port(1).lineErrors.load() & (Lsr::Break | Lsr::Framing | Lsr::FifoError),
              Lsr::Break | Lsr::Framing | Lsr::FifoError);
    EXPECT_EQ(engine.ReadAvailable(1), std::string(1, '\0'));

    ASSERT_TRUE(engine.Open(2, Line{115200, 'n', 8, 1}));
    ASSERT_TRUE(engine.Open(3, Line{115200, 'e', 8, 1}));  // checks the sender's stop bit
    engine.WriteAll(2, "\x03");
    engine.Pump(CharTime(115200) * 6);
    EXPECT_EQ(engine.Port(3).lineErrors.load() & Lsr::Parity, Lsr::Parity);

    ASSERT_TRUE(engine.Open(4, Line{115200, 'n', 8, 1}));
    ASSERT_TRUE(engine.Open(5, Line{57600, 'n', 8, 1}));  // half the rate
    engine.WriteAll(4, std::string(8, '\x00'));
    engine.Pump(CharTime(115200) * 20);
    EXPECT_EQ(engine.Port(5).lineErrors.load() & Lsr::Framing, Lsr::Framing);
}

TEST(Engine, ErrorsShowInLsrForAReadBeforeTheInterruptServiceTakesThem) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(6, Line{115200, 'n', 8, 1}));
    ASSERT_TRUE(engine.Open(7, Line{115200, 'e', 8, 1}));
    engine.WriteAll(6, "\x03");
    host::DeliverInterrupts();  // the transmit kick: the byte goes into the FIFO
    host::CurrentMachine().Advance(CharTime(115200) * 2);  // arrived; no interrupt delivered
    const std::uint8_t lsr = ReadLineStatus(&engine.Port(7));
    EXPECT_EQ(lsr & (Lsr::Parity | Lsr::FifoError | Lsr::DataReady),
              Lsr::Parity | Lsr::FifoError | Lsr::DataReady);
    engine.Pump(CharTime(115200) * 6);
    EXPECT_EQ(engine.Port(7).lineErrors.load() & Lsr::Parity, 0);  // that read took them
    EXPECT_EQ(engine.ReadAvailable(7), "\x03");
}

TEST(Engine, DtrAndRtsShowInThePeersModemStatus) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(0, Line{}));
    ASSERT_TRUE(engine.Open(1, Line{}));
    engine.Pump(CharTime(115200));
    EXPECT_EQ(ReadModemStatus(&engine.Port(1)) & (Msr::Cts | Msr::Dsr | Msr::Dcd), 0);
    SetDtr(&engine.Port(0));
    EXPECT_EQ(ReadModemStatus(&engine.Port(1)) & (Msr::Cts | Msr::Dsr | Msr::Dcd),
              Msr::Dsr | Msr::Dcd);
    SetRts(&engine.Port(0));
    const std::uint8_t msr = ReadModemStatus(&engine.Port(1));
    EXPECT_EQ(msr & (Msr::Cts | Msr::DeltaCts), Msr::Cts | Msr::DeltaCts);
    EXPECT_EQ(ReadModemControl(&engine.Port(0)), Mcr::Dtr | Mcr::Rts);
    ClearDtr(&engine.Port(0));
    engine.Pump(CharTime(115200));  // the modem-status interrupt is served
    EXPECT_EQ(ReadModemStatus(&engine.Port(1)) & (Msr::Cts | Msr::Dsr | Msr::DeltaDsr), Msr::Cts);
}

TEST(Engine, AutomaticCtsHoldsTheTransmitterUntilThePeerRaisesRts) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(0, Line{115200, 'n', 8, 1, 0x02}));
    ASSERT_TRUE(engine.Open(1, Line{}));
    engine.WriteAll(0, "waiting for CTS");
    engine.Pump(CharTime(115200) * 40);
    EXPECT_EQ(engine.ReadAvailable(1), "");
    EXPECT_EQ(engine.Port(0).txActive.load(), 0u);  // all in the FIFO, held there
    EXPECT_TRUE(engine.Board().Peek(0).txHeld);
    SetRts(&engine.Port(1));
    engine.Pump(CharTime(115200) * 20);
    EXPECT_EQ(engine.ReadAvailable(1), "waiting for CTS");
}

// The interrupt service comes only every 100 characters while a far end that honours RTS sends
// without pause: automatic RTS holds it at the receive trigger; with RTS simply raised instead,
// the FIFO overflows between visits.
class LateService : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(LateService, AutomaticRtsKeepsTheFifoFromOverflowing) {
    const std::uint8_t flow = GetParam();
    EngineOnModel engine(
        "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n"
        "channel 5 open\n",
        EngineOnModel::Mode::Manual);
    engine.SetStep(CharTime(921600) * 100);
    ASSERT_TRUE(engine.Open(5, Line{921600, 'n', 8, 1, flow}));
    if (flow == 0) {
        SetRts(&engine.Port(5));
    }
    const std::string stream = Pattern(3000, 0xFF, 7);
    engine.Board().SetFarEndHonoursRts(5, true);
    engine.Board().Inject(5, std::vector<std::uint8_t>(stream.begin(), stream.end()));
    std::string received;
    engine.PumpUntil(
        [&] {
            received += engine.ReadAvailable(5);
            return engine.Board().FarEndPending(5) == 0;
        },
        20000 * CharTime(921600));
    engine.Pump(CharTime(921600) * 200);
    received += engine.ReadAvailable(5);
    const std::uint64_t overruns = engine.Board().ChannelStats(5).overruns;
    if (flow != 0) {
        EXPECT_EQ(overruns, 0u);
        EXPECT_EQ(engine.Port(5).lineErrors.load(), 0);
        EXPECT_TRUE(received == stream);
    } else {
        EXPECT_GT(overruns, 0u);
        EXPECT_EQ(engine.Port(5).lineErrors.load() & Lsr::Overrun, Lsr::Overrun);
        EXPECT_EQ(received.size() + overruns, stream.size());
    }
}

// 0x01 alone sets DTR, not RTS, and the channel's automatic RTS only ever holds an asserted RTS
// low; 0x03 (with automatic CTS) raises RTS. 0x00: RTS raised by hand, no flow control.
INSTANTIATE_TEST_SUITE_P(FlowControl, LateService, ::testing::Values(0x03, 0x00));

TEST(Engine, FullReceiveRingDropsBytesAndSetsTheOverrunBit) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    engine.SetStep(CharTime(921600) / 2);
    ASSERT_TRUE(engine.Open(6, Line{921600}));
    ASSERT_TRUE(engine.Open(7, Line{921600}));
    const std::string stream = Pattern(RingSize + 300, 0xFF, 3);
    engine.WriteAll(6, stream);
    EXPECT_TRUE(engine.PumpUntil([&] { return engine.Port(6).txActive.load() == 0; },
                                 2 * RingSize * CharTime(921600)));
    engine.Pump(CharTime(921600) * 80);
    EXPECT_EQ(engine.Port(7).lineErrors.load() & Lsr::Overrun, Lsr::Overrun);
    EXPECT_EQ(engine.Board().ChannelStats(7).overruns, 0u);  // the FIFO kept up: the ring dropped
    const std::string kept = engine.ReadAvailable(7);
    EXPECT_EQ(kept.size(), RingSize);
    EXPECT_TRUE(kept == stream.substr(0, RingSize));
}

TEST(Engine, TransmitBurstsFillTheFifoFromOneStableLevelReading) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    engine.SetStep(CharTime(921600) / 2);
    ASSERT_TRUE(engine.Open(0, Line{921600}));
    ASSERT_TRUE(engine.Open(1, Line{921600}));
    engine.Board().ResetCounters();
    engine.WriteAll(0, Pattern(5600, 0xFF, 9));
    std::string received;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            received += engine.ReadAvailable(1);
            return received.size() >= 5600;
        },
        8000 * CharTime(921600)));
    const sim::BoardCounters counters = engine.Board().Counters();
    EXPECT_EQ(counters.burstWrites, 5600u);
    EXPECT_EQ(counters.burstReads, 5600u);
    // Per byte: the move itself plus the interrupt path shared by a burst of up to 64.
    EXPECT_LT(static_cast<double>(counters.loads + counters.stores) / 11200.0, 1.5);
}

TEST(Engine, UnstableLevelReadingsStillMoveEveryByteInOrder) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(2, Line{}));
    ASSERT_TRUE(engine.Open(3, Line{}));
    engine.Board().SetUnstableLevels(2, 1000);
    engine.Board().SetUnstableLevels(3, 1000);
    const std::string stream = Pattern(500, 0xFF, 5);
    engine.WriteAll(2, stream);
    std::string received;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            received += engine.ReadAvailable(3);
            return received.size() >= stream.size();
        },
        800 * CharTime(115200)));
    EXPECT_TRUE(received == stream);
    EXPECT_EQ(engine.Board().ChannelStats(3).rxUnderreads, 0u);
    EXPECT_EQ(engine.Board().ChannelStats(2).txOverwrites, 0u);
}

// A transmit level read as 0xFF twice in a row (so it counts as settled) on an empty FIFO: that
// pass sends nothing, and the ring still goes out.
TEST(Engine, AGlitchedTransmitLevelDoesNotStopTheTransmitter) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(0, Line{}));
    ASSERT_TRUE(engine.Open(1, Line{}));
    engine.Board().GlitchTxLevel(0, 0xFF, 2);
    engine.WriteAll(0, "after a glitch");
    std::string received;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            received += engine.ReadAvailable(1);
            return received.size() >= 14;
        },
        40 * CharTime(115200)));
    EXPECT_EQ(received, "after a glitch");
    EXPECT_EQ(engine.Port(0).txActive.load(), 0u);
}

// Closing a port that is still sending, with a break on: nothing is left to send, so the close
// ends the break, and a write made later without a new open still goes out.
TEST(Engine, CloseDuringALongWriteEndsTheBreakAndLeavesThePortWritable) {
    EngineOnModel engine(EightNullModem, EngineOnModel::Mode::Manual);
    ASSERT_TRUE(engine.Open(2, Line{}));
    ASSERT_TRUE(engine.Open(3, Line{}));
    engine.WriteAll(2, Pattern(4000, 0xFF, 11));
    engine.Pump(CharTime(115200) * 10);
    SetBreak(&engine.Port(2));
    ClosePort(2);
    EXPECT_EQ(engine.Board().Peek(2).lcr & Lcr::Break, 0) << "the line is out of break";
    engine.Pump(CharTime(115200) * 10);
    (void)engine.ReadAvailable(3);
    EXPECT_EQ(engine.Write(2, "after", 5), 5u);
    std::string received;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            received += engine.ReadAvailable(3);
            return received.size() >= 5;
        },
        40 * CharTime(115200)));
    EXPECT_EQ(received, "after");
}

TEST(Engine, BoardClockComesFromTheModelsEeprom) {
    EngineOnModel engine(
        "board bus=0 device=3 function=0 device-id=0x0154 subsystem=0x311 irq=5 clock=7372800\n",
        EngineOnModel::Mode::Manual);
    EXPECT_EQ(ReadBoardClock(engine.Window(0)), 7372800u);
    EXPECT_EQ(engine.Board().EepromModifyingCommands(), 0u);
}

TEST(Engine, LineDriverModesReachThePinDecoderAndInterruptsPulseThePins) {
    EngineOnModel engine(
        "board bus=0 device=3 function=0 device-id=0x0258 subsystem=0x353 irq=5 clock=14745600\n"
        "channel 4 null-modem 5\n",
        EngineOnModel::Mode::Manual, true);
    ASSERT_TRUE(engine.Open(5, Line{115200, 'n', 8, 1, 0, 0, 2}));
    ASSERT_TRUE(engine.Open(4, Line{115200, 'n', 8, 1, 0, 0, 3}));
    EXPECT_EQ(engine.Board().DriverMode(5), 2);
    EXPECT_EQ(engine.Board().DriverMode(4), 1);
    EXPECT_EQ(engine.Board().PinProtocolErrors(), 0u);
    ASSERT_TRUE(engine.Open(4, Line{}));
    EXPECT_EQ(engine.Board().DriverMode(4), 0);
    EXPECT_EQ(engine.Board().DriverMode(5), 2);
    EXPECT_FALSE(engine.Board().Peek(4).directionActive);
    engine.Board().ClearPinLevelWrites();
    engine.WriteAll(5, "rs485");
    engine.Pump(CharTime(115200));
    EXPECT_TRUE(engine.Board().Peek(5).directionActive);  // automatic direction while it sends
    engine.Pump(CharTime(115200) * 12);
    EXPECT_EQ(engine.ReadAvailable(4), "rs485");
    const std::vector<std::uint8_t> pulses = engine.Board().PinLevelWrites();
    ASSERT_FALSE(pulses.empty());
    for (std::size_t i = 0; i < pulses.size(); ++i) {
        EXPECT_EQ(pulses[i], i % 2 == 0 ? 0xFF : 0xFE);
    }
}

}  // namespace
}  // namespace modeltest
