// The board's serial configuration EEPROM (64 words of 16 bits), bit-banged through EepromCtl of
// channel 0's window. Only read: besides reads, one write-disable command is sent.
#pragma once

#include <cstdint>

#include "hw/Registers.h"

// The last value written to EepromCtl; every change is made here and then written whole.
extern std::uint8_t eepromCtlShadow;

// UART input clock in Hz from words 4 (low half) and 5 (high half); words 0 to 5 are read.
std::uint32_t ReadBoardClock(ChannelRegs* regs);
