// The EEPROM reader's bit stream on EepromCtl, recorded by the register fake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hw/Eeprom.h"
#include "tests/support/ScriptedRegisters.h"

namespace {

// Scripts the data line (EepromCtl bit 7, low bits noisy) for words read most significant first.
void ScriptWords(fake::ScriptedRegisters& regs, const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> samples;
    for (const std::uint16_t word : words) {
        for (int bit = 15; bit >= 0; --bit) samples.push_back(((word >> bit) & 1) ? 0xBF : 0x3F);
    }
    regs.Script(EepromCtl, samples);
}

// The commands the EEPROM received: the data line at each rising clock edge while selected,
// split at each deselect; and a check of every write on the way. Counts every clock pulse.
std::vector<std::string> CommandsSent(const std::vector<fake::Access>& log, int& pulses) {
    std::vector<std::string> commands(1);
    pulses = 0;
    std::uint8_t previous = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const fake::Access& access = log[i];
        if (access.kind == 'R') {  // sampled only right after a clock pulse ended
            EXPECT_TRUE(i >= 2 && (log[i - 2].value & Eeprom::Clock) != 0 &&
                        (log[i - 1].value & Eeprom::Clock) == 0)
                << "read " << i;
            continue;
        }
        EXPECT_EQ(access.value & 0x8F & ~Eeprom::Clock, 0) << "bits 0-3 and 7 stay 0";
        const bool rising = (access.value & Eeprom::Clock) && !(previous & Eeprom::Clock);
        pulses += rising ? 1 : 0;
        if (rising && (access.value & Eeprom::ChipSelect)) {
            commands.back() += (access.value & Eeprom::DataOut) ? '1' : '0';
        }
        if (!(access.value & Eeprom::ChipSelect) && !commands.back().empty())
            commands.emplace_back();
        previous = access.value;
    }
    commands.pop_back();
    return commands;
}

TEST(EepromReader, WriteDisableThenSixReadsAndTheClockFromWordsFourAndFive) {
    fake::ScriptedRegisters regs;
    eepromCtlShadow = 0;
    ScriptWords(regs, {0xFFFF, 0x1234, 0x0000, 0xAAAA, 0x0000, 0x00E1});
    EXPECT_EQ(ReadBoardClock(regs.Window(0)), 0x00E10000u) << "word 5 high, word 4 low";
    std::vector<std::string> expected = {"100000000"};  // write disable
    for (const char* address : {"000", "001", "010", "011", "100", "101"}) {
        expected.push_back(std::string("110000") + address + std::string(16, '1'));  // data high
    }
    int pulses = 0;
    EXPECT_EQ(CommandsSent(regs.Log(), pulses), expected);
    EXPECT_EQ(pulses, 162) << "with the idle clocks around each command";
    EXPECT_EQ(regs.Writes().back(), fake::W(EepromCtl, 0x00)) << "ends deselected and idle";
}

TEST(EepromReader, DataLineStuckHighGivesAllOnes) {
    fake::ScriptedRegisters regs;
    eepromCtlShadow = 0;
    regs.Script(EepromCtl, std::vector<std::uint8_t>(6 * 16, 0xFF));
    EXPECT_EQ(ReadBoardClock(regs.Window(0)), 0xFFFFFFFFu);
}

}  // namespace
