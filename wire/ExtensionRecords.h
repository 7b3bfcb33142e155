// The reply records of the extension requests (codes from ExtensionBase, wire/RequestBlock.h):
// part of the wire format, fixed byte for byte, multi-byte fields little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/LineConfig.h"

// SerialGetConfig: the settings in force, which differ from the last SerialSetConfig when that was
// refused. Before the port's first open the whole record is 0; an open sets 9600 8N1 without flow
// control. The requested rate and the one the divisor really makes differ at odd rates:
// actualBaud = clockHz / (16 x divisor), rounded down. configured is 1 from an accepted
// SerialSetConfig until the next SerialOpen or SerialClose: only then does the channel raise its
// interrupts, so a port whose settings match but that is not configured still needs them sent.
struct ConfigReport {
    LineConfig config;
    std::uint32_t actualBaud;
    std::uint32_t clockHz;  // the channel's input clock
    std::uint16_t divisor;
    std::uint8_t configured;
    std::uint8_t receiveTrigger;  // receive FIFO level that interrupts (SerialSetReceiveTrigger)
};
static_assert(sizeof(ConfigReport) == 28);
static_assert(offsetof(ConfigReport, actualBaud) == 16 && offsetof(ConfigReport, clockHz) == 20 &&
              offsetof(ConfigReport, divisor) == 24 && offsetof(ConfigReport, configured) == 26 &&
              offsetof(ConfigReport, receiveTrigger) == 27);

// SerialGetErrorCounts: line error events since the port was opened (SerialGetLineErrors only
// says whether each kind happened since the driver started). A FIFO overrun is one event however
// many bytes the line lost; ringOverruns counts the bytes dropped because the receive ring was
// full.
struct ErrorCountsReport {
    std::uint32_t overruns;
    std::uint32_t parityErrors;
    std::uint32_t framingErrors;
    std::uint32_t breaks;
    std::uint32_t ringOverruns;
};
static_assert(sizeof(ErrorCountsReport) == 20);

// SerialGetTransmitState: queued counts the bytes in the transmit ring, not those the channel's
// FIFO already holds; transmitterEmpty is LSR's transmitter-empty bit (1: the FIFO and the shift
// register are both empty). Everything handed over has left the line when queued is 0 and
// transmitterEmpty 1. All are read together, so the interrupt side cannot move bytes from the
// ring into the FIFO between the readings. fifoLevel is one reading of the FIFO's level counter,
// which moves while the line sends: what the line still needs about that many characters for
// (an older driver leaves 0 here).
struct TransmitStateReport {
    std::uint32_t queued;
    std::uint8_t transmitterEmpty;
    std::uint8_t fifoLevel;
    std::uint8_t reserved[2];
};
static_assert(sizeof(TransmitStateReport) == 8 &&
              offsetof(TransmitStateReport, transmitterEmpty) == 4 &&
              offsetof(TransmitStateReport, fifoLevel) == 5);

// SerialSetReceiveTrigger: the receive FIFO levels the driver programs. The channel takes any
// level up to its 64 bytes, but above the level an open sets, flow control would have less than 8
// bytes of room left to stop the far end in (an XOFF queued behind a character, a far end that
// finishes the character it is sending), and the interrupt service less than 8 character times.
namespace ReceiveTrigger {
constexpr std::uint8_t Lowest = 1;
constexpr std::uint8_t Highest = 56;  // the level an open sets
}  // namespace ReceiveTrigger

// SerialFlush: data area byte 0.
namespace Flush {
constexpr std::uint8_t Receive = 0x01;
constexpr std::uint8_t Transmit = 0x02;
constexpr std::uint8_t Both = Receive | Transmit;
}  // namespace Flush
