// The board as the driver sees it through its registers. Uart: what reads take away, interrupt
// identification by priority with the summary and the line, the transmit-empty rules, the
// receive trigger and time-out, overrun and error bytes. Lines: what null-modem, loopback and
// open lines carry, character timing and what a mismatched receiver makes of it, break, and the
// flow control the channels do by themselves. DeviceBlock: the configuration EEPROM bit by bit,
// and the pin logic that keeps each channel's line-driver mode.
#include <numeric>
#include <vector>

#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

class Uart : public BoardTest {};

// Every source pending at once: the identification goes down the priorities as each is served,
// and the summary (channel 5's bit, in every window) and the line follow.
TEST_F(Uart, InterruptsAreIdentifiedByPriorityAndClearedByTheirOwnReads) {
    Configure(Open);  // enabling the sources raised transmit-empty
    std::vector<std::uint8_t> bytes(65);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    Board().Inject(Open, bytes);
    Board().SetFarEndModem(Open, msr::Cts);
    RunChars(65.5);  // the 65th finds the FIFO full: it is lost
    // clang-format off
    const std::pair<std::uint8_t, std::uint32_t> steps[] = {
        {iir::LineStatus, Lsr}, {iir::RxData, FifoWindowStart}, {iir::TxEmpty, Iir},
        {iir::ModemStatus, Msr}, {iir::None, Iir}};
    // clang-format on
    for (const auto& [expected, clearing] : steps) {
        EXPECT_EQ(Board().LineAsserted(), expected != iir::None);
        EXPECT_EQ(Read(0, IntSummary), expected != iir::None ? 1 << Open : 0);
        ASSERT_EQ(Read(Open, Iir), iir::FifosOn | expected);
        if (clearing == FifoWindowStart) {
            EXPECT_EQ(Drain(Open), std::string(bytes.begin(), bytes.end() - 1));
        } else if (clearing != Iir) {
            Read(Open, clearing);
        }
    }
}

// Transmit-empty comes once per write into the FIFO, as a character leaves and the FIFO holds no
// more than 64 minus the trigger (56). Its enable going from off to on raises it at once if the
// FIFO has room: the driver's transmit kick.
TEST_F(Uart, TransmitEmptyComesOncePerWriteAndWhenItsEnableGoesOnWithRoom) {
    Configure(Open, 8, Lcr8N1, ier::TxEmpty);
    Read(Open, Iir);
    Write(Open, Ier, ier::TxEmpty);  // on to on: nothing
    EXPECT_EQ(Pending(Open), iir::None);
    const std::pair<std::size_t, double> writes[] = {{3, 0.99}, {40, 30.99}};  // bytes, quiet chars
    for (const auto& [bytes, quiet] : writes) {
        Send(Open, std::string(bytes, 'x'));
        RunChars(quiet);
        EXPECT_EQ(Pending(Open), iir::None) << bytes;
        RunChars(0.02);
        EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::TxEmpty) << bytes;
        RunChars(static_cast<double>(bytes));
        EXPECT_EQ(Pending(Open), iir::None) << bytes << " bytes drained: no second one";
    }
    Send(Open, std::string(65, 'x'));  // the shift register and the FIFO full
    for (const std::uint8_t expected : {iir::None, iir::TxEmpty}) {
        Write(Open, Ier, 0);
        Write(Open, Ier, ier::TxEmpty);
        EXPECT_EQ(Pending(Open), expected);
        RunChars(1.01);  // room for one
    }
    EXPECT_EQ(Read(Open, TxLevel), 62);
    Write(Open, Iir, fcr::Enable | fcr::ResetTx);
    EXPECT_EQ(Read(Open, TxLevel), 0);
}

// Time also moves without anyone looking (between the driver's accesses in paced time): the
// access that finds a time-out due must report it.
TEST_F(Uart, ReceivedDataAtTheTriggerAndATimeoutFourCharactersAfterTheLastFifoActivity) {
    Configure(Open, 8, Lcr8N1, ier::RxData, 8);
    Board().Inject(Open, std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8});
    RunChars(7.9);
    EXPECT_EQ(Pending(Open), iir::None);
    RunChars(0.2);
    EXPECT_EQ(Pending(Open), iir::RxData);
    // Each read takes the next byte (any byte of the burst window does): the first goes below
    // the trigger, the others withdraw a time-out.
    const std::pair<int, std::uint32_t> reads[] = {{1, Rhr}, {2, FifoWindowStart + 17}, {3, Rhr}};
    for (const auto& [byte, reg] : reads) {
        EXPECT_EQ(Read(Open, reg), byte);
        RunChars(3.9);
        EXPECT_EQ(Pending(Open), iir::None) << reg;
        Machine().GetClock().MoveTo(Machine().Now() + CharTime8N1 / 5);
        EXPECT_EQ(Read(Open, Iir), iir::FifosOn | iir::RxTimeout);
    }
    Write(Open, Iir, fcr::Enable | fcr::ResetRx);
    EXPECT_EQ(Read(Open, Lsr) & lsr::DataReady, 0);
}

// An error shows in LSR, and as a line-status interrupt, when its byte reaches the top of the
// FIFO; bit 7 stays while another error byte waits behind the top one.
TEST_F(Uart, LineErrorsTravelWithTheirBytes) {
    Configure(Open, 8, Lcr8N1, ier::LineStatus);
    // The byte, its errors, and LSR read twice while it is at the top.
    const std::uint8_t rows[][4] = {
        {'a', 0, lsr::FifoError, lsr::FifoError},
        {'b', lsr::Parity, lsr::Parity | lsr::FifoError, lsr::FifoError},
        {'c', 0, lsr::FifoError, lsr::FifoError},
        {'d', lsr::Framing | lsr::Break, lsr::Framing | lsr::Break | lsr::FifoError, 0}};
    for (const auto& [byte, errors, status, statusAgain] : rows) {
        Board().Inject(Open, std::vector<std::uint8_t>{byte}, errors);
    }
    RunChars(4.1);
    for (const auto& [byte, errors, status, statusAgain] : rows) {
        EXPECT_EQ(Pending(Open), errors != 0 ? iir::LineStatus : iir::None) << byte;
        EXPECT_EQ(Read(Open, Lsr) & (lsr::ByteErrors | lsr::FifoError), status) << byte;
        EXPECT_EQ(Read(Open, Lsr) & (lsr::ByteErrors | lsr::FifoError), statusAgain) << byte;
        EXPECT_EQ(Read(Open, Rhr), byte);
    }
}

class Lines : public BoardTest {};

// RTS reaches the far end's CTS, DTR its DSR and DCD. A break arrives as one zero byte with the
// break and framing bits however long it lasts, and what is sent during it is lost. In RS-485
// mode the transmitter drives RTS while it has data and for the turnaround delay after it.
TEST_F(Lines, NullModemLoopbackAndOpenLinesCarryBytesModemLinesBreaksAndRs485Direction) {
    const std::pair<std::uint32_t, std::string_view> sends[] = {
        {0, "ping"}, {1, "pong!"}, {4, "echo"}, {Open, "lost?"}};
    for (const auto& [channel, bytes] : sends) {
        Configure(channel);
        Send(channel, bytes);
    }
    RunChars(6);
    EXPECT_EQ(Drain(1) + Drain(0) + Drain(4) + Drain(Open), "pingpong!echo");
    Write(0, Mcr, mcr::Dtr | mcr::Rts);
    constexpr std::uint8_t levels = msr::Cts | msr::Dsr | msr::Dcd;
    EXPECT_EQ(Read(1, Msr), levels | msr::DeltaCts | msr::DeltaDsr | msr::DeltaDcd);
    EXPECT_EQ(Read(1, Msr), levels);  // the read cleared the change flags
    Write(0, Lcr, Lcr8N1 | lcr::Break);
    Send(0, "gone");
    RunChars(6);
    Write(0, Lcr, Lcr8N1);
    Send(0, "kept");
    RunChars(5);
    EXPECT_EQ(Read(1, Lsr) & (lsr::Break | lsr::Framing), lsr::Break | lsr::Framing);
    EXPECT_EQ(Drain(1), std::string("\0kept", 5));
    Write(0, FifoTrigCtl, fifotrig::ProgrammedLevels | fifotrig::AutoDirection);
    Write(0, Msr, 20);  // turnaround delay: 20 bit times, two characters
    Send(0, "ab");
    for (const auto& [chars, cts] : {std::pair{0.0, msr::Cts}, {3.9, msr::Cts}, {0.2, 0}}) {
        RunChars(chars);
        EXPECT_EQ(Read(1, Msr) & msr::Cts, cts) << chars;
    }
}

// A character takes its bits at 16 clock periods per divisor step. A receiver samples the
// sender's waveform in the middle of its own bit cells.
TEST_F(Lines, CharacterTimeAndWhatAMismatchedReceiverMakesOfIt) {
    // clang-format off
    const struct {
        std::uint16_t divisor;
        std::uint8_t lcr;
        double bits;  // start, data, parity and stop bits
        std::string bytes;
        std::uint16_t rxDivisor;
        std::uint8_t rxLcr;
        std::uint8_t lsr = 0;       // with the first byte at the top
        std::string received = {};  // when not the bytes sent
    } rows[] = {
        {8, 0x03, 10, "U", 8, 0x03},          // 115200 8N1
        {96, 0x1A, 10, "U", 96, 0x1A},        // 9600 7E1
        {1, 0x0F, 12, "U", 1, 0x0F},          // 921600 8O2
        {384, 0x04, 7.5, "\x15", 384, 0x04},  // 2400 5N1.5
        // 12 % slow: the stop bit is sampled in the next character's start bit, and the last
        // data bit in the sender's stop bit.
        {8, 0x03, 10, std::string(2, '\0'), 9, 0x03, lsr::Framing | lsr::FifoError, "\x80\x80"},
        {100, 0x03, 10, "tolerance", 102, 0x03},  // 2 % is within a character's tolerance
        // 8E1 takes an 8N1 sender's stop bit (1) for parity: right for one 1, not for two.
        {8, 0x03, 10, "\x01", 8, 0x1B},
        {8, 0x03, 10, "\x03", 8, 0x1B, lsr::Parity | lsr::FifoError},
    };
    // clang-format on
    for (const auto& row : rows) {
        Configure(0, row.divisor, row.lcr);
        Configure(1, row.rxDivisor, row.rxLcr);
        Send(0, row.bytes);
        const double charTime = row.bits * 16 * row.divisor / 14.7456e-6;  // picoseconds
        for (const auto& [chars, level] : {std::pair{0.99, 0}, {0.02, 1}}) {
            RunChars(chars, charTime);
            EXPECT_EQ(Read(1, RxLevel), level) << row.divisor;
        }
        RunChars(static_cast<double>(row.bytes.size()), charTime);
        EXPECT_EQ(Read(1, Lsr) & (lsr::ByteErrors | lsr::FifoError), row.lsr) << row.divisor;
        EXPECT_EQ(Drain(1), row.received.empty() ? row.bytes : row.received) << row.divisor;
    }
}

// Channel 1 stops channel 0 when its FIFO reaches the trigger (56), by RTS into channel 0's
// automatic CTS or by an XOFF it sends, and lets it go on when drained. Nothing overruns, and XON
// and XOFF are acted on, not stored.
TEST_F(Lines, FlowControlStopsTheSenderBeforeTheFifoOverflows) {
    const std::pair<std::uint8_t, std::uint8_t> sides[] = {
        {feature::AutoCts, feature::AutoRts}, {feature::XonXoffReceive, feature::XonXoffTransmit}};
    std::string sent(100, ' ');
    std::iota(sent.begin(), sent.end(), 'A');
    for (const auto& [sender, receiver] : sides) {
        for (const std::uint32_t channel : {0u, 1u}) {
            Configure(channel);
            Write(channel, Xoff, 0x13);
            Write(channel, Xon, 0x11);
        }
        Write(0, FeatureCtl, feature::Enhanced | sender);
        Write(1, FeatureCtl, feature::Enhanced | receiver);
        Write(1, Mcr, mcr::Rts);
        Send(0, sent.substr(0, 64));
        RunChars(70);
        EXPECT_LE(Read(1, RxLevel), 58);  // the trigger, and what was on its way
        const std::string first = Drain(1);
        Send(0, sent.substr(64));
        RunChars(70);
        EXPECT_EQ(first + Drain(1), sent);
        EXPECT_EQ(Drain(0), "");
    }
}

class DeviceBlock : public BoardTest {
protected:
    // Microwire as the driver clocks it: select with the first bit, each bit set up with the
    // clock low and taken at its rising edge; data out is sampled after each pulse.
    std::uint32_t Shift(std::uint32_t bits, int count) {
        std::uint32_t out = 0;
        for (int i = count - 1; i >= 0; --i) {
            const int data = ((bits >> i) & 1) != 0 ? eeprom::DataIn : 0;
            for (const int clock : {0, int{eeprom::Clock}, 0}) {
                Write(0, EepromCtl, static_cast<std::uint8_t>(eeprom::Select | clock | data));
            }
            out = out << 1 | ((Read(0, EepromCtl) & eeprom::DataOut) != 0 ? 1u : 0u);
        }
        return out;
    }
    // Start bit, opcode 10 and six address bits; the part answers a dummy zero, then D15 to D0.
    std::uint32_t ReadWord(std::uint32_t address) {
        Shift(0b110u << 6 | address, 9);
        const std::uint32_t word = Shift(0xFFFF, 16);
        Write(0, EepromCtl, 0);
        return word;
    }

    // A pin phase as the driver runs it: bits put on the level read back, then the strobe raised
    // on what the pins read (it reads back low once its pulse is over).
    void Phase(std::uint8_t keep, std::uint8_t bits) {
        Write(0, PinLevel, static_cast<std::uint8_t>((Read(0, PinLevel) & keep) | bits));
        Write(0, PinLevel, static_cast<std::uint8_t>(Read(0, PinLevel) | pin::Strobe));
    }
    // Select the pair, read its field, write it back with this channel's mode: the pair's other
    // channel keeps its mode only if the read phase showed it.
    void SetMode(std::uint32_t channel, int mode) {
        Phase(0x07, static_cast<std::uint8_t>(channel / 2 << 3));
        Phase(0x83, pin::ReadPhase);
        const int field = Read(0, PinLevel) >> 3 & 0x0F;
        const int value = channel % 2 != 0 ? (field & 0x03) | mode << 2 : (field & 0x0C) | mode;
        Phase(0x82, static_cast<std::uint8_t>(value << 3));
    }
};

// The description's identity fills words 0-3, its clock (0x00E10000) words 4 (low) and 5; a
// command that would change a word is counted and not carried out.
TEST_F(DeviceBlock, EepromAnswersReadsBitByBitAndOnlyCountsWhatWouldChangeIt) {
    Shift(0b100000000, 9);  // write disable
    Write(0, EepromCtl, 0);
    Shift(0b101000101 << 16 | 0xBEEF, 25);  // write word 5
    Write(0, EepromCtl, 0);
    const std::uint32_t words[][2] = {{0, 0x13A8}, {1, 0x0158}, {2, 0x12C4}, {3, 0x0312},
                                      {4, 0x0000}, {5, 0x00E1}, {63, 0xFFFF}};
    for (const auto& [address, word] : words) {
        EXPECT_EQ(ReadWord(address), word) << address;
    }
    EXPECT_EQ(Board().EepromModifyingCommands(), 1u);            // the write, and nothing else
    Board().SetEepromFault(sim::Eeprom::DataFault::StuckAtOne);  // as a missing part reads
    EXPECT_EQ(ReadWord(4), 0xFFFFu);
}

TEST_F(DeviceBlock, PinTransactionsSetEachChannelsDriverModeAndKeepItsPartners) {
    Write(0, PinCtl93, 0xFF);  // the end of the set-up resets the logic
    Write(0, PinLevel, 0x07);  // and the first strobe sets the idle levels
    SetMode(5, 2);
    Write(0, PinLevel, 0xFF);  // the interrupt-time pulse of 0x353 boards is no phase
    Write(0, PinLevel, 0xFE);
    SetMode(4, 1);
    SetMode(6, 3);
    Phase(0x07, 1 << 3);     // select pair 1
    Phase(0x82, 0x0F << 3);  // and write without a read phase: an error that changes nothing
    EXPECT_EQ(Board().PinProtocolErrors(), 1u);
    const std::pair<std::uint32_t, int> modes[] = {{2, 0}, {3, 0}, {4, 1}, {5, 2}, {6, 3}, {7, 0}};
    for (const auto& [channel, mode] : modes) {
        EXPECT_EQ(Board().DriverMode(channel), mode) << channel;
    }
}

}  // namespace
}  // namespace simtest
