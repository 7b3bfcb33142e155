#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hw/Eeprom.h"
#include "tests/support/ScriptedRegisters.h"

namespace {

// The bits that reached the EEPROM: the data line sampled at each rising clock edge while the
// part was selected, split into commands at each deselect.
std::vector<std::string> CommandsSent(const std::vector<fake::Access>& log) {
    std::vector<std::string> commands;
    std::string current;
    std::uint8_t previous = 0;
    for (const fake::Access& access : log) {
        if (access.kind != 'W' || access.offset != EepromCtl) continue;
        const std::uint8_t value = access.value;
        const bool rising = (value & Eeprom::Clock) && !(previous & Eeprom::Clock);
        if (rising && (value & Eeprom::ChipSelect)) {
            current += (value & Eeprom::DataOut) ? '1' : '0';
        }
        if (!(value & Eeprom::ChipSelect) && !current.empty()) {
            commands.push_back(current);
            current.clear();
        }
        previous = value;
    }
    return commands;
}

class EepromReader : public ::testing::Test {
protected:
    fake::ScriptedRegisters regs;
    void SetUp() override { eepromCtlShadow = 0; }

    // Scripts the data line for six words, most significant bit first.
    void ScriptWords(const std::vector<std::uint16_t>& words) {
        std::vector<std::uint8_t> samples;
        for (const std::uint16_t word : words) {
            for (int bit = 15; bit >= 0; --bit) {
                samples.push_back(((word >> bit) & 1) ? 0x80 | 0x3F : 0x3F);  // noise in low bits
            }
        }
        regs.Script(EepromCtl, samples);
    }
};

TEST_F(EepromReader, ClockComesFromWordsFourAndFive) {
    ScriptWords({0xFFFF, 0x1234, 0x0000, 0xAAAA, 0x0000, 0x00E1});
    EXPECT_EQ(ReadBoardClock(regs.Window(0)), 0x00E10000u) << "14745600 Hz";
}

TEST_F(EepromReader, BitStreamIsWriteDisableThenSixReads) {
    ScriptWords({0, 0, 0, 0, 0x0000, 0x00E1});
    ReadBoardClock(regs.Window(0));
    const std::vector<std::string> expected = {
        "100000000",  // write disable, and the extra clock it takes
        "110000000" + std::string(16, '1'),  // read word 0; data line held high while reading
        "110000001" + std::string(16, '1'), "110000010" + std::string(16, '1'),
        "110000011" + std::string(16, '1'), "110000100" + std::string(16, '1'),
        "110000101" + std::string(16, '1'),
    };
    std::vector<std::string> sent = CommandsSent(regs.Log());
    ASSERT_EQ(sent.size(), expected.size());
    EXPECT_EQ(sent[0].substr(0, 9), expected[0]);
    for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i], expected[i]) << i;

    int pulses = 0;
    std::uint8_t previous = 0;
    for (const fake::Access& access : regs.Log()) {
        if (access.kind == 'W') {
            if ((access.value & Eeprom::Clock) && !(previous & Eeprom::Clock)) ++pulses;
            EXPECT_EQ(access.value & 0x8F & ~Eeprom::Clock, 0) << "bits 0-3 and 7 stay 0";
            previous = access.value;
        }
    }
    EXPECT_EQ(pulses, 162);
    EXPECT_EQ(regs.Writes().back(), fake::W(EepromCtl, 0x00)) << "ends deselected and idle";
}

TEST_F(EepromReader, SamplesOnlyAfterEachPulse) {
    ScriptWords({0, 0, 0, 0, 0x8001, 0x0000});
    ReadBoardClock(regs.Window(0));
    // Each read of EepromCtl must come right after a falling clock edge.
    const std::vector<fake::Access> log = regs.Log();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind == 'R') {
            ASSERT_GT(i, 1u);
            EXPECT_EQ(log[i - 1].kind, 'W');
            EXPECT_EQ(log[i - 1].value & Eeprom::Clock, 0);
            EXPECT_NE(log[i - 2].value & Eeprom::Clock, 0);
        }
    }
}

TEST_F(EepromReader, DataLineStuckHighGivesAllOnes) {
    regs.Set(EepromCtl, 0x00);
    regs.Script(EepromCtl, std::vector<std::uint8_t>(96, 0xFF));
    EXPECT_EQ(ReadBoardClock(regs.Window(0)), 0xFFFFFFFFu);
}

}  // namespace
