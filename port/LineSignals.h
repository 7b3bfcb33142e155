// Modem-control outputs, break, and the status values clients read.
#pragma once

#include <cstdint>

struct PortRecord;

// A null port is ignored: nothing is touched and the reads give 0.

void SetDtr(PortRecord* port);
void ClearDtr(PortRecord* port);
void SetRts(PortRecord* port);
void ClearRts(PortRecord* port);
// Both restore the interrupt state they found: ClosePort calls ClearBreak inside its section.
void SetBreak(PortRecord* port);
void ClearBreak(PortRecord* port);

std::uint8_t ReadModemStatus(PortRecord* port);   // MSR as the channel presents it
std::uint8_t ReadLineStatus(PortRecord* port);    // LSR as the channel presents it
std::uint8_t ReadModemControl(PortRecord* port);  // MCR & (DTR | RTS), from the register
std::uint8_t ReadLineErrors(PortRecord* port);    // lineErrors, unchanged by the read
std::uint32_t ReadRxCount(PortRecord* port);      // rxCount, read with interrupts disabled
