// What the driver can tell about a port beyond its record: the settings the channel runs with and
// the line errors counted since the port was opened. One entry per channel, beside PortTable.
#pragma once

#include <cstdint>

#include "port/PortRecord.h"
#include "wire/LineConfig.h"

struct PortReport {
    // Open defaults, then each accepted configuration; 0 before any open. Written with interrupts
    // disabled; whether a full receive ring holds the far end follows it (port/ReceiveHold.h).
    LineConfig inForce;
    std::uint16_t divisor;  // loaded with inForce
    // The receive FIFO's trigger level: the open's, then each SerialSetReceiveTrigger; 0 before
    // any open.
    std::uint8_t receiveTrigger;
    // 1 from an accepted configuration until the next open or close: the channel raises its
    // interrupts (an open leaves IER as it was, a close turns it off) and moves bytes.
    std::uint8_t configured;
    // Written by the interrupt side, and by a request that reads LSR for its own ends inside an
    // interrupt-disabled section (reset by an open, with interrupts disabled); the request side
    // reads them without a section.
    SharedWord overruns;
    SharedWord parityErrors;
    SharedWord framingErrors;
    SharedWord breaks;
    SharedWord ringOverruns;  // bytes dropped because the receive ring was full
};

extern PortReport PortReports[MaxPorts];

// An open: the counts start again and the open's settings (with its trigger level) are in force,
// not yet configured.
void StartPortReport(std::uint8_t portIndex, const LineConfig& opened, std::uint16_t divisor);
// An accepted configuration.
void NoteSettingsInForce(std::uint8_t portIndex, const LineConfig& config, std::uint16_t divisor);
// A close: the channel's interrupts are off until the port is configured again.
void NotePortClosed(std::uint8_t portIndex);

// The line-error bookkeeping: the LSR error bits are ORed into lineErrors and each kind present
// is counted once. The interrupt service calls it; a request side caller must hold interrupts
// disabled, as the two sides' read-modify-writes must not interleave.
void NoteLineErrors(std::uint8_t portIndex, PortRecord* port, std::uint8_t lsrErrors);
// A received byte dropped for want of room in the ring: an overrun for lineErrors.
void NoteRingOverrun(std::uint8_t portIndex, PortRecord* port);
