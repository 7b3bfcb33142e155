// Port open, close and line configuration, called by the request dispatch.
#pragma once

#include <cstdint>

struct PortRecord;

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
