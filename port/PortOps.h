// Port open, close and line configuration, called by the request dispatch.
#pragma once

#include <cstdint>

struct PortRecord;

// LineConfig.flowControl bits: which automatic flow controls SetPortConfig switches on. The two
// upper ones also set MCR OUT1 together with DTR.
namespace FlowControl {
constexpr std::uint8_t AutoRts = 0x01;
constexpr std::uint8_t AutoCts = 0x02;
constexpr std::uint8_t AutoRtsWithOut1 = 0x04;
constexpr std::uint8_t AutoCtsWithOut1 = 0x08;
}  // namespace FlowControl

// LineConfig.stopBits codes.
namespace StopBits {
constexpr std::uint8_t One = 1;
constexpr std::uint8_t Two = 2;            // with 6, 7 or 8 data bits
constexpr std::uint8_t OneAndAHalf = 3;    // with 5 data bits
}  // namespace StopBits

// Directions of SetSoftwareFlow.
constexpr std::uint8_t SoftwareFlowDirection0 = 0;
constexpr std::uint8_t SoftwareFlowDirection1 = 1;

// A port index without a record reaches no register: OpenPort does nothing, ClosePort returns 0,
// SetPortConfig returns RtError::InvalidParameter.

// Brings the channel to a known state: rings empty, FIFOs reset, 9600 8N1, no flow control.
void OpenPort(std::uint8_t portIndex);
// Quiesces the channel: interrupts off, rings empty, RTS and DTR dropped. Returns 0.
std::uint32_t ClosePort(std::uint8_t portIndex);
// Takes a 16-byte LineConfig from data. 0 when applied, RtError::InvalidParameter when refused.
std::uint32_t SetPortConfig(std::uint8_t portIndex, const std::uint8_t* data);

// Register steps shared by the operations above; each reads the register it changes.
void SetEnhancedMode(PortRecord* port, bool on);
void SetAutoCts(PortRecord* port, bool on);
void SetAutoRts(PortRecord* port, bool on);
void SetSoftwareFlow(PortRecord* port, std::uint8_t direction, bool on);
void SetFifoTriggers(PortRecord* port);
