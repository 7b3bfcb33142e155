// Port open, close and line configuration, called by the request dispatch.
#pragma once

#include <cstdint>

// A port index without a record reaches no register: OpenPort does nothing, ClosePort returns 0,
// SetPortConfig returns RtError::InvalidParameter.

// Brings the channel to a known state: rings empty, FIFOs reset, 9600 8N1, no flow control.
void OpenPort(std::uint8_t portIndex);
// Quiesces the channel: interrupts off, rings empty, RTS and DTR dropped. Always 0: a close has
// no outcome to report, and the dispatch answers SerialClose without reading it.
std::uint32_t ClosePort(std::uint8_t portIndex);
// Takes a 16-byte LineConfig from data. 0 when applied, RtError::InvalidParameter when refused.
std::uint32_t SetPortConfig(std::uint8_t portIndex, const std::uint8_t* data);
// Empties the receive side (ring and FIFO), the transmit side or both, leaving the settings and
// the modem lines as they are.
void FlushPort(std::uint8_t portIndex, bool receive, bool transmit);
// Programs the receive FIFO's trigger level; false, with nothing written, for a level outside
// ReceiveTrigger::Lowest to Highest (wire/ExtensionRecords.h) or a port not opened since the
// driver started (whose level registers an open has not yet made the triggers).
bool SetReceiveTrigger(std::uint8_t portIndex, std::uint8_t level);
