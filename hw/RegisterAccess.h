// The access layer: "register X of this channel" becomes one byte load or store through the
// platform. Nothing above this layer touches a window's bytes.
#pragma once

#include <cstdint>

#include "hw/Registers.h"

std::uint8_t ReadReg(const ChannelRegs* regs, RegOffset offset);
void WriteReg(ChannelRegs* regs, RegOffset offset, std::uint8_t value);

// Read-modify-write: read the register, change the bits, write the whole byte back.
void SetRegBits(ChannelRegs* regs, RegOffset offset, std::uint8_t bits);
void ClearRegBits(ChannelRegs* regs, RegOffset offset, std::uint8_t bits);

// Loads the 16-bit divisor; LCR ends exactly as it was found.
void LoadDivisorLatch(ChannelRegs* regs, std::uint16_t divisor);
