// The status bytes the driver hands to its clients unchanged: SerialGetLineStatus returns LSR and
// SerialGetModemStatus MSR as the channel presents them, in the 16550 layout; SerialGetLineErrors
// returns LSR error bits gathered over time, and SerialGetModemControl the DTR and RTS bits of
// MCR. The bit values are therefore part of the wire format, and the driver's register map
// (hw/Registers.h) takes LSR's and MSR's from here.
#pragma once

#include <cstdint>

namespace Lsr {                           // line status; reading it clears bits 1-4 and 7
constexpr std::uint8_t DataReady = 0x01;  // a byte waits in the receive FIFO
constexpr std::uint8_t Overrun = 0x02;    // a character was lost to a full receive FIFO
constexpr std::uint8_t Parity = 0x04;     // the byte at the top has a parity error
constexpr std::uint8_t Framing = 0x08;    // the byte at the top has no valid stop bit
constexpr std::uint8_t Break = 0x10;      // the byte at the top is a break
constexpr std::uint8_t ThrEmpty = 0x20;   // transmit FIFO empty
constexpr std::uint8_t TxEmpty = 0x40;    // transmit FIFO and shift register both empty
constexpr std::uint8_t FifoError = 0x80;  // an error byte waits in the receive FIFO
constexpr std::uint8_t ErrorMask = 0x9E;  // the bits gathered into lineErrors
}  // namespace Lsr

namespace Msr {                            // modem status; reading it clears bits 0-3
constexpr std::uint8_t DeltaCts = 0x01;    // CTS changed
constexpr std::uint8_t DeltaDsr = 0x02;    // DSR changed
constexpr std::uint8_t TrailingRi = 0x04;  // RI went from on to off
constexpr std::uint8_t DeltaDcd = 0x08;    // DCD changed
constexpr std::uint8_t Cts = 0x10;
constexpr std::uint8_t Dsr = 0x20;
constexpr std::uint8_t Ri = 0x40;
constexpr std::uint8_t Dcd = 0x80;
constexpr std::uint8_t ChangeMask = 0x0F;
}  // namespace Msr

// SerialGetModemControl: the outputs the channel drives, MCR's two low bits.
namespace ModemLines {
constexpr std::uint8_t Dtr = 0x01;
constexpr std::uint8_t Rts = 0x02;
}  // namespace ModemLines
