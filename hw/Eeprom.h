// The board's serial configuration EEPROM (64 words of 16 bits), bit-banged through EepromCtl of
// channel 0's window. Only read: besides reads, one write-disable command is sent.
#pragma once

#include <cstdint>

#include "hw/Registers.h"

// The last value written to EepromCtl; every change is made here and then written whole.
extern std::uint8_t eepromCtlShadow;

// UART input clock in Hz: word 5 is its high half, word 4 its low half.
std::uint32_t ReadBoardClock(ChannelRegs* regs);
// Reads count words from address 0 into buffer; always reports success (non-zero).
std::uint32_t ReadEepromWords(ChannelRegs* regs, std::uint16_t* buffer, std::uint32_t count);

void EepromClockPulse(ChannelRegs* regs);
void EepromIdle(ChannelRegs* regs);
void EepromCommand(ChannelRegs* regs, std::uint8_t opcode, std::uint8_t address);
std::uint16_t EepromReadWord(ChannelRegs* regs);

namespace EepromOp {
constexpr std::uint8_t WriteDisable = 4;  // start bit, opcode 00, address 00xxxx
constexpr std::uint8_t Read = 6;          // start bit, opcode 10
constexpr unsigned OpcodeBits = 3;
constexpr unsigned AddressBits = 6;
constexpr unsigned WordBits = 16;
}  // namespace EepromOp
