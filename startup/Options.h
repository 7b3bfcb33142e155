// The three option values of the command line: written once by the option scan, read afterwards
// on the main thread only.
#pragma once

#include <cstdint>

extern std::uint8_t irqLine;    // -Q: the board whose PCI Interrupt Line equals this is served
extern std::uint8_t irqShared;  // -S: 1 attaches the interrupt as shareable
extern std::uint8_t portBase;   // -P: added to the channel number in the device names
