// Board set-up: maps the board, creates and publishes a port per channel, reads the clock and
// attaches the interrupt. Runs once, on the main thread.
#pragma once

#include <cstdint>

#include "hw/Registers.h"
#include "platform/Rtss.h"

struct DeviceChannel;

extern ChannelRegs* boardBase;  // channel n's window is boardBase + n
extern DeviceChannel* deviceChannels[8];
extern RtHandle boardInterrupt;

// Board discovery hands over the board it found; header is its 64-byte configuration header.
void StartBoard(std::uint8_t channelCount, std::uint32_t busNumber, const std::uint8_t* header);
// 1: every channel set up; 0: translation, mapping or a record allocation failed;
// -1: a device channel could not be created.
std::int32_t SetUpBoard(std::uint8_t channelCount, const std::uint8_t* header);
// 0 on success, 8 when the platform refused the attachment.
std::uint32_t AttachBoardInterrupt(const std::uint8_t* header, std::uint32_t busNumber,
                                   std::uint8_t shared);

// Channel count by Subsystem ID; for a Subsystem ID the table does not know, the count the
// Device ID's register space holds.
std::uint8_t ChannelCountOf(std::uint16_t subsystemId, std::uint16_t deviceId);
// Length of the register space by Device ID.
std::uint32_t MapLengthOf(std::uint16_t deviceId);
// Whether channel n of a board with this Subsystem ID has a software-selectable line driver.
std::uint8_t HasLineDriverControl(std::uint16_t subsystemId, std::uint8_t channel);
