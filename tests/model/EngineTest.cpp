// The port engine against the simulated board, in manual time: ports opened and configured as a
// client does, bytes written and read through the rings, interrupts delivered by the backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "port/LineSignals.h"
#include "port/PortOps.h"
#include "port/PortReport.h"
#include "tests/support/EngineBoard.h"
#include "tests/support/StalledReader.h"
#include "wire/ExtensionRecords.h"

namespace {

using testsupport::CharTime;
using testsupport::Line;

// A board set up as the driver sets one up, in manual time.
class EngineOnModel : public testsupport::EngineBoard {
public:
    explicit EngineOnModel(const std::string& description = sim::DefaultDescriptionText())
        : EngineBoard(description, Mode::Manual) {
        EXPECT_EQ(Failure(), "");
    }
    void OpenPair(std::uint8_t a, std::uint8_t b, const LineConfig& line = Line()) {
        EXPECT_TRUE(Open(a, line));
        EXPECT_TRUE(Open(b, line));
    }
};

std::string Pattern(std::size_t length, std::uint8_t mask, std::uint32_t seed) {
    std::string bytes;
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>((state >> 16) & mask));
    }
    return bytes;
}

// Word formats and rates across a null-modem pair, both ways at once, byte exact.
TEST(Engine, BytesCrossANullModemPairInEveryFormat) {
    struct Format {
        LineConfig line;
        std::uint8_t mask;  // the data bits the word length carries
        double bits;        // per character
    };
    // clang-format off
    const Format formats[] = {
        {Line({.baudRate = 9600, .parity = Parity::Even, .dataBits = 7}), 0x7F, 10},
        {Line({.baudRate = 921600, .parity = Parity::Odd, .stopBits = StopBits::Two}), 0xFF, 12},
        {Line({.baudRate = 57600, .parity = Parity::Space, .dataBits = 6}), 0x3F, 9},
        {Line({.baudRate = 2400, .stopBits = StopBits::OneAndAHalf, .dataBits = 5}), 0x1F, 7.5},
    };
    // clang-format on
    for (const Format& format : formats) {
        EngineOnModel engine;
        engine.SetStep(CharTime(format.line.baudRate, format.bits) / 3);
        engine.OpenPair(2, 3, format.line);
        const std::string there = Pattern(300, format.mask, 1);
        const std::string back = Pattern(200, format.mask, 2);
        EXPECT_TRUE(engine.WriteAll(2, there) && engine.WriteAll(3, back));
        const sim::SimTime limit = 400 * CharTime(format.line.baudRate, format.bits);
        EXPECT_EQ(engine.Receive(3, there.size(), limit), there) << format.line.baudRate;
        EXPECT_EQ(engine.Receive(2, back.size(), limit), back) << format.line.baudRate;
        EXPECT_EQ(engine.Port(3).lineErrors.load() | engine.Port(2).lineErrors.load(), 0);
        EXPECT_EQ(engine.Port(2).txActive.load(), 0u);
    }
}

// A break arrives as a 0 byte with break, framing and FIFO-error bits; a stop bit read as
// parity adds a parity error to them.
TEST(Engine, BreakAndParityReachLineErrors) {
    EngineOnModel engine;
    engine.OpenPair(0, 1);
    SetBreak(&engine.Port(0));
    engine.Pump(CharTime(115200) * 3);
    ClearBreak(&engine.Port(0));
    engine.Pump(CharTime(115200) * 6);
    EXPECT_EQ(engine.Port(1).lineErrors.load(), Lsr::Break | Lsr::Framing | Lsr::FifoError);
    EXPECT_EQ(engine.ReadAvailable(1), std::string(1, '\0'));
    EXPECT_TRUE(engine.Open(1, Line({.parity = Parity::Even})));  // an open keeps lineErrors
    EXPECT_TRUE(engine.WriteAll(0, "\x03"));
    engine.Pump(CharTime(115200) * 6);
    EXPECT_EQ(engine.Port(1).lineErrors.load(),
              Lsr::Break | Lsr::Framing | Lsr::FifoError | Lsr::Parity);
}

// The interrupt service comes only every 100 characters while far ends that honour RTS send
// without pause: on channel 5, automatic RTS holds its far end at the receive trigger, and nothing
// is lost; channel 6, without flow control, keeps the RTS it was given, overruns its FIFO, and its
// port's lineErrors say so.
TEST(Engine, AutomaticRtsKeepsTheFifoFromOverflowingUnderALateService) {
    EngineOnModel engine(std::string(sim::DefaultBoardStatement) +
                         "channel 5 open\nchannel 6 open\n");
    engine.SetStep(CharTime(921600) * 100);
    EXPECT_TRUE(engine.Open(5, Line({.baudRate = 921600, .flowControl = FlowControl::RtsCts})));
    EXPECT_TRUE(engine.Open(6, Line({.baudRate = 921600})));
    const std::string stream = Pattern(3000, 0xFF, 7);
    SetRts(&engine.Port(6));
    for (const std::uint32_t channel : {5u, 6u}) engine.Board().SetFarEndHonoursRts(channel, true);
    for (const std::uint32_t channel : {5u, 6u}) {
        engine.Board().Inject(channel, std::vector<std::uint8_t>(stream.begin(), stream.end()));
    }
    EXPECT_TRUE(engine.Receive(5, stream.size(), 20000 * CharTime(921600)) == stream);
    EXPECT_EQ(engine.Board().ChannelStats(5).overruns, 0u);
    EXPECT_EQ(engine.Port(5).lineErrors.load(), 0);
    EXPECT_GT(engine.Board().ChannelStats(6).overruns, 0u);
    EXPECT_EQ(engine.Port(6).lineErrors.load() & Lsr::Overrun, Lsr::Overrun);
}

// A reader stalled for 10 s during a 1 MB stream at 921,600. With automatic RTS/CTS or XON/XOFF
// the full ring holds the FIFO and the channel holds the sender (CTS low, or XOFF), so every byte
// arrives once and in order, at the open's receive trigger as at a low one. Without flow control
// the receive service drains the FIFO all the same (it never overflows) and drops what arrives
// while the ring is full, counting each byte.
TEST(Engine, AStalledReaderHoldsTheSenderUnderFlowControlAndLosesTheNewestWithout) {
    struct Case {
        const char* name;
        LineConfig line;
        bool holds;
        std::uint8_t trigger;
    };
    const LineConfig rtsCts = Line({.baudRate = 921600, .flowControl = FlowControl::RtsCts});
    const LineConfig xonXoff = Line({.baudRate = 921600, .softwareFlow = 1});
    const Case cases[] = {
        {"no flow control", Line({.baudRate = 921600}), false, ReceiveTrigger::Highest},
        {"RTS/CTS", rtsCts, true, ReceiveTrigger::Highest},
        {"XON/XOFF", xonXoff, true, ReceiveTrigger::Highest},
        {"RTS/CTS at trigger 8", rtsCts, true, 8},
        {"XON/XOFF at trigger 8", xonXoff, true, 8},
    };
    const std::string stream = testsupport::FlowSafeStream(1 << 20);
    for (const Case& c : cases) {
        EngineOnModel engine;
        engine.SetStep(CharTime(921600) * 8);
        engine.OpenPair(0, 1, c.line);
        EXPECT_TRUE(SetReceiveTrigger(1, c.trigger));
        const testsupport::StallOutcome outcome = testsupport::RunStalledReader(
            engine, 0, 1, stream, 100 * sim::Millisecond, 10 * sim::PicosecondsPerSecond,
            30 * sim::PicosecondsPerSecond);
        const std::uint32_t dropped = PortReports[1].ringOverruns.load();
        EXPECT_EQ(engine.Board().ChannelStats(1).overruns, 0u) << c.name;
        EXPECT_EQ(outcome.senderHeld, c.holds) << c.name;
        EXPECT_EQ(engine.Port(1).lineErrors.load(), c.holds ? 0 : Lsr::Overrun) << c.name;
        if (c.holds) {
            EXPECT_TRUE(outcome.received == stream) << c.name;
            EXPECT_EQ(dropped, 0u) << c.name;
            EXPECT_TRUE(c.line.flowControl == 0 || outcome.ctsSeenLow) << "RTS/CTS holds by CTS";
            continue;
        }
        // One gap, where the ring was full: what came before it and after it is whole.
        ASSERT_EQ(outcome.received.size() + dropped, stream.size());
        const auto gap = static_cast<std::size_t>(
            std::mismatch(outcome.received.begin(), outcome.received.end(), stream.begin()).first -
            outcome.received.begin());
        EXPECT_GE(gap, RingSize);
        EXPECT_TRUE(outcome.received.compare(gap, std::string::npos, stream, gap + dropped) == 0);
    }
}

// Bursts sized by one stable level reading: per byte, the move itself plus the interrupt path
// shared by a burst of up to 64. Level readings that jitter still move every byte in order.
TEST(Engine, BurstsMoveEveryByteWithFewAccessesEvenOnUnstableLevels) {
    EngineOnModel engine;
    engine.SetStep(CharTime(921600) / 2);
    engine.OpenPair(0, 1, Line({.baudRate = 921600}));
    engine.Board().ResetCounters();
    const std::string stream = Pattern(5600, 0xFF, 9);
    EXPECT_TRUE(engine.WriteAll(0, stream));
    EXPECT_TRUE(engine.Receive(1, stream.size(), 8000 * CharTime(921600)) == stream);
    const sim::BoardCounters counters = engine.Board().Counters();
    EXPECT_EQ(counters.burstWrites + counters.burstReads, 11200u);
    EXPECT_LT(static_cast<double>(counters.loads + counters.stores) / 11200.0, 1.5);

    engine.Board().SetUnstableLevels(0, 1000);
    engine.Board().SetUnstableLevels(1, 1000);
    EXPECT_TRUE(engine.WriteAll(0, stream.substr(0, 500)));
    EXPECT_TRUE(engine.Receive(1, 500, 800 * CharTime(115200)) == stream.substr(0, 500));
    EXPECT_EQ(
        engine.Board().ChannelStats(1).rxUnderreads + engine.Board().ChannelStats(0).txOverwrites,
        0u);
}

// On the model whose line drivers are all selectable: the pins carry each channel's mode, the
// transmitter switches its RS-485 direction itself, and the pins pulse around every service.
TEST(Engine, LineDriverModesReachThePinDecoderAndInterruptsPulseThePins) {
    EngineOnModel engine(
        "board bus=0 device=3 function=0 device-id=0x0258 subsystem=0x353 irq=5 clock=14745600\n"
        "channel 4 null-modem 5\n");
    EXPECT_TRUE(engine.Open(5, Line({.lineMode = LineMode::Rs485A})));
    EXPECT_TRUE(engine.Open(4, Line({.lineMode = LineMode::Rs485B})));
    EXPECT_EQ(engine.Board().DriverMode(5), 2);
    EXPECT_EQ(engine.Board().DriverMode(4), 1);
    EXPECT_TRUE(engine.Open(4, Line({.lineMode = 7})));
    EXPECT_EQ(engine.Board().DriverMode(4), 0) << "every other line mode: the default driver";
    EXPECT_FALSE(engine.Board().Peek(4).directionActive);
    EXPECT_EQ(engine.Board().DriverMode(5), 2) << "the pair's other channel keeps its mode";
    EXPECT_EQ(engine.Board().PinProtocolErrors(), 0u);
    engine.Board().ClearPinLevelWrites();
    EXPECT_TRUE(engine.WriteAll(5, "rs485"));
    engine.Pump(CharTime(115200));
    EXPECT_TRUE(engine.Board().Peek(5).directionActive);  // automatic direction while it sends
    EXPECT_EQ(engine.Receive(4, 5, 20 * CharTime(115200)), "rs485");
    const std::vector<std::uint8_t> pulses = engine.Board().PinLevelWrites();
    ASSERT_FALSE(pulses.empty());
    for (std::size_t i = 0; i < pulses.size(); ++i) EXPECT_EQ(pulses[i], i % 2 == 0 ? 0xFF : 0xFE);
}

}  // namespace
