// What the PCI identity says about a board of the family: its channel count, its register space
// and which channels have a software-selectable line driver.
#pragma once

#include <cstdint>

// Channel count by Subsystem ID; for a Subsystem ID the table does not know, the count the
// Device ID's register space holds, and never more than that.
std::uint8_t ChannelCountOf(std::uint16_t subsystemId, std::uint16_t deviceId);
// Length of the register space by Device ID.
std::uint32_t MapLengthOf(std::uint16_t deviceId);
// Whether channel n of a board with this Subsystem ID has a software-selectable line driver.
std::uint8_t HasLineDriverControl(std::uint16_t subsystemId, std::uint8_t channel);
