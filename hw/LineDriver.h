// Line-driver mode of a channel: automatic RS-485 direction control in the UART, and a 2-bit
// driver mode passed out through the board's multi-purpose pins in a select/read/write protocol.
#pragma once

#include <cstdint>

#include "hw/Registers.h"

struct PortRecord;

// Set once the one-time pin set-up has run in this process.
extern bool pinsReady;

// Applies the port's config.lineMode; channel is the port's index in PortTable.
void SetLineDriverMode(PortRecord* port, std::uint8_t channel);
void WriteLineDriverPins(ChannelRegs* regs, std::uint8_t channel, std::uint8_t driverMode);

void PinSetup(ChannelRegs* regs);
void PinStrobe(ChannelRegs* regs);
void PinSelectPair(ChannelRegs* regs, std::uint8_t pair);
std::uint8_t PinReadField(ChannelRegs* regs);
void PinWriteField(ChannelRegs* regs, std::uint8_t field);

// LineConfig.lineMode values that select an RS-485 mode with automatic direction control; every
// other value selects the default driver mode.
namespace LineMode {
constexpr std::uint8_t Rs485A = 2;
constexpr std::uint8_t Rs485B = 3;
}  // namespace LineMode
