// Line-driver mode of a channel: automatic RS-485 direction control in the UART, and a 2-bit
// driver mode passed out through the board's multi-purpose pins in a select/read/write protocol.
#pragma once

#include <cstdint>

#include "hw/Registers.h"

// Set once the one-time pin set-up has run in this process.
extern bool pinsReady;

// Puts channel `channel` (its window `regs`) into driverMode (Pin::DriverDefault, DriverRs485A
// or DriverRs485B): automatic direction control on for the two RS-485 modes, off otherwise, and
// the mode passed out through the pins. Restores the interrupt state it finds.
void SetLineDriverMode(ChannelRegs* regs, std::uint8_t channel, std::uint8_t driverMode);
