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
// -1: a device channel could not be created. The steps of each channel: SetUpPort, the port's
// event objects (port/PortEvents.h, without which it works all the same), PublishPort.
std::int32_t SetUpBoard(std::uint8_t channelCount, const std::uint8_t* header);

// The steps of board set-up, in their order; header is the board's configuration header.
// Translates and maps BAR0 into boardBase; false when either fails (a failed mapping is printed).
bool MapBoard(const std::uint8_t* header);
// Channel n's PortRecord (cleared, wired to its window) and its DeviceNameRecord; false when the
// record cannot be allocated.
bool SetUpPort(std::uint8_t n, const std::uint8_t* header);
// Creates and announces channel n's DeviceChannel; prints why and returns false when it fails.
bool PublishPort(std::uint8_t n);
// IsrContext from channel 0's window: the summary, and the pin pulse on the model that has it.
void PrepareInterruptContext(const std::uint8_t* header);
// Writes IER 0 on every channel, so that none interrupts before the service is attached.
void SilenceChannels(std::uint8_t channelCount);
// Attaches InterruptService (with InterruptPrecheck when shared) to the board's line: 0 on
// success, 8 when the platform refused the attachment.
std::uint32_t AttachBoardInterrupt(const std::uint8_t* header, std::uint32_t busNumber,
                                   std::uint8_t shared);
