// The EEPROM through EepromCtl, bit by bit: chip select, clock edges, start bit and opcode,
// six address bits, a dummy zero and then sixteen data bits, most significant first.
#include <vector>

#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

using namespace sim::reg;

class EepromLines : public BoardTest {
protected:
    explicit EepromLines(std::string_view description) : BoardTest(description) {}

    void Lines(bool select, bool clock, bool data) {
        Write(0, EepromCtl, static_cast<std::uint8_t>((select ? eeprom::Select : 0) |
                                                      (clock ? eeprom::Clock : 0) |
                                                      (data ? eeprom::DataIn : 0)));
    }
    bool DataOut() { return (Read(0, EepromCtl) & eeprom::DataOut) != 0; }
    void ClockBit(bool bit) {
        Lines(true, false, bit);
        Lines(true, true, bit);
        Lines(true, false, bit);
    }
    void Command(std::uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            ClockBit(((bits >> i) & 1) != 0);
        }
    }
    // Start bit, opcode 10, address; then sample after each of 16 pulses.
    std::uint16_t ReadWord(std::uint32_t address) {
        Lines(false, false, false);
        Command(0b110u << 6 | address, 9);
        std::uint16_t word = 0;
        for (int bit = 15; bit >= 0; --bit) {
            ClockBit(true);
            word = static_cast<std::uint16_t>(word | (DataOut() ? 1u << bit : 0u));
        }
        Lines(false, false, false);
        return word;
    }
};

class Eeprom : public EepromLines {
protected:
    Eeprom()
        : EepromLines("board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 "
                      "clock=0x00E10000\n") {}
};

TEST_F(Eeprom, ClockFillsWordsFourAndFiveAndTheIdentityTheFirstFour) {
    EXPECT_EQ(ReadWord(4), 0x0000);
    EXPECT_EQ(ReadWord(5), 0x00E1);
    EXPECT_EQ(ReadWord(0), 0x13A8);
    EXPECT_EQ(ReadWord(1), 0x0158);
    EXPECT_EQ(ReadWord(3), 0x0312);
    EXPECT_EQ(ReadWord(63), 0xFFFF);  // erased
}

TEST_F(Eeprom, DataOutFloatsHighUntilTheDummyZeroAfterTheAddress) {
    Lines(true, false, false);
    EXPECT_TRUE(DataOut());
    const std::uint32_t read5 = 0b110u << 6 | 5;
    Command(read5 >> 1, 8);  // one address bit short
    EXPECT_TRUE(DataOut());
    ClockBit((read5 & 1) != 0);  // the last address bit
    EXPECT_FALSE(DataOut());  // the dummy zero, before the first data pulse
    ClockBit(true);
    EXPECT_FALSE(DataOut());  // D15 of 0x00E1
    for (int i = 0; i < 8; ++i) {
        ClockBit(true);
    }
    EXPECT_TRUE(DataOut());  // D7
}

TEST_F(Eeprom, LeadingZerosBeforeTheStartBitAreIgnoredAndDeselectAbortsACommand) {
    Lines(true, false, false);
    Command(0b000110u << 6 | 4, 12);  // three leading zeros
    std::uint16_t word = 0;
    for (int bit = 15; bit >= 0; --bit) {
        ClockBit(true);
        word = static_cast<std::uint16_t>(word | (DataOut() ? 1u << bit : 0u));
    }
    EXPECT_EQ(word, 0x0000);
    Lines(true, false, false);
    Command(0b110, 3);
    Lines(false, false, false);  // deselected half way through the address
    EXPECT_EQ(ReadWord(5), 0x00E1);
}

TEST_F(Eeprom, WriteDisableIsAcceptedAndModifyingCommandsAreCountedNotCarriedOut) {
    Lines(false, false, false);
    Command(0b100000000, 9);  // EWDS
    Lines(false, false, false);
    Command(0b100110000, 9);  // EWEN
    Lines(false, false, false);
    Command(0b101000100, 9);  // WRITE word 4 ...
    Command(0xBEEF, 16);
    Lines(false, false, false);
    EXPECT_EQ(Board().EepromModifyingCommands(), 1u);
    EXPECT_EQ(ReadWord(4), 0x0000);
}

TEST_F(Eeprom, StuckDataLineReadsAllOnesOrAllZeros) {
    Board().SetEepromFault(sim::Eeprom::DataFault::StuckAtOne);
    EXPECT_EQ(ReadWord(4), 0xFFFF);
    Board().SetEepromFault(sim::Eeprom::DataFault::StuckAtZero);
    EXPECT_EQ(ReadWord(1), 0x0000);
    Board().SetEepromFault(sim::Eeprom::DataFault::None);
    EXPECT_EQ(ReadWord(1), 0x0158);
}

class RawEeprom : public EepromLines {
protected:
    RawEeprom()
        : EepromLines("board bus=0 device=3 function=0 device-id=0x0152 subsystem=0x310 irq=5 "
                      "eeprom=1,2,3,4,0x1234,0x5678\n") {}
};

TEST_F(RawEeprom, RawWordsStandAsGivenAndTheRestIsErased) {
    EXPECT_EQ(Board().ChannelCount(), 2u);
    std::vector<std::uint16_t> words;
    for (std::uint32_t address : {0u, 3u, 4u, 5u, 6u}) {
        words.push_back(ReadWord(address));
    }
    EXPECT_EQ(words, (std::vector<std::uint16_t>{1, 4, 0x1234, 0x5678, 0xFFFF}));
}

}  // namespace
}  // namespace simtest
