#include "hw/Eeprom.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"

std::uint8_t eepromCtlShadow = 0;

namespace {

constexpr std::uint32_t ClockWordLow = 4;
constexpr std::uint32_t ClockWordHigh = 5;
constexpr std::uint32_t ClockWords = 6;  // words 0 to 3 are read and not used
constexpr std::uint32_t BitSettleMs = 1;

namespace EepromOp {
constexpr std::uint8_t WriteDisable = 4;  // start bit, opcode 00, address 00xxxx
constexpr std::uint8_t Read = 6;          // start bit, opcode 10
constexpr unsigned OpcodeBits = 3;
constexpr unsigned AddressBits = 6;
constexpr unsigned WordBits = 16;
}  // namespace EepromOp

// EepromCtl is never read to build a value: its read side is the EEPROM's data line.
void WriteShadow(ChannelRegs* regs) { WriteReg(regs, EepromCtl, eepromCtlShadow); }

// The clock stays high for at least a millisecond, far above what the part needs; it is low only
// as long as the next register writes take.
void EepromClockPulse(ChannelRegs* regs) {
    eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow | Eeprom::Clock);
    WriteShadow(regs);
    Sleep(BitSettleMs);
    eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow & ~Eeprom::Clock);
    WriteShadow(regs);
}

void ShiftOutBit(ChannelRegs* regs, bool one) {
    if (one) {
        eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow | Eeprom::DataOut);
    } else {
        eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow & ~Eeprom::DataOut);
    }
    WriteShadow(regs);
    EepromClockPulse(regs);
}

// Deselected, clock and data low, then two clocks so the part ends any half-done command.
void EepromIdle(ChannelRegs* regs) {
    eepromCtlShadow = static_cast<std::uint8_t>(
        eepromCtlShadow & ~(Eeprom::Clock | Eeprom::ChipSelect | Eeprom::DataOut));
    WriteShadow(regs);
    EepromClockPulse(regs);
    EepromClockPulse(regs);
}

void EepromCommand(ChannelRegs* regs, std::uint8_t opcode, std::uint8_t address) {
    // Select goes out together with the first data bit.
    eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow | Eeprom::ChipSelect);
    for (unsigned bit = EepromOp::OpcodeBits; bit-- > 0;) {
        ShiftOutBit(regs, ((opcode >> bit) & 1U) != 0);
    }
    for (unsigned bit = EepromOp::AddressBits; bit-- > 0;) {
        ShiftOutBit(regs, ((address >> bit) & 1U) != 0);
    }
    if (opcode == EepromOp::Read) {
        // Stay selected for the data phase, data line released high.
        eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow | Eeprom::DataOut);
        WriteShadow(regs);
    } else if (opcode == EepromOp::WriteDisable) {
        eepromCtlShadow =
            static_cast<std::uint8_t>((eepromCtlShadow & ~Eeprom::ChipSelect) | Eeprom::DataOut);
        WriteShadow(regs);
        EepromClockPulse(regs);
    }
}

// Most significant bit first; each bit is sampled after its clock pulse, never before the first.
std::uint16_t EepromReadWord(ChannelRegs* regs) {
    std::uint16_t word = 0;
    for (unsigned bit = EepromOp::WordBits; bit-- > 0;) {
        EepromClockPulse(regs);
        if ((ReadReg(regs, EepromCtl) & Eeprom::DataIn) != 0) {
            word = static_cast<std::uint16_t>(word | (1U << bit));
        }
    }
    Sleep(BitSettleMs);
    return word;
}

std::uint32_t ReadEepromWords(ChannelRegs* regs, std::uint16_t* buffer, std::uint32_t count) {
    EepromIdle(regs);
    const std::uint8_t idle = eepromCtlShadow;
    EepromCommand(regs, EepromOp::WriteDisable, 0);
    for (std::uint32_t address = 0; address < count; ++address) {
        EepromCommand(regs, EepromOp::Read, static_cast<std::uint8_t>(address));
        buffer[address] = EepromReadWord(regs);
        eepromCtlShadow = static_cast<std::uint8_t>(eepromCtlShadow & ~Eeprom::ChipSelect);
        WriteShadow(regs);
    }
    eepromCtlShadow = idle;
    WriteShadow(regs);
    return 1;
}

}  // namespace

std::uint32_t ReadBoardClock(ChannelRegs* regs) {
    std::uint16_t words[ClockWords] = {};
    ReadEepromWords(regs, words, ClockWords);
    return static_cast<std::uint32_t>(words[ClockWordHigh]) << 16 | words[ClockWordLow];
}
