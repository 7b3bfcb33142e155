// Holding the far end while a reader is slow. With automatic RTS or XON/XOFF in force the channel
// stops the far end by itself once its receive FIFO reaches the trigger level (RTS drops, or XOFF
// goes out ahead of the transmit FIFO) and lets it go on once the FIFO has drained. So when the
// receive ring has no room for another FIFO's worth, the receive service stops taking bytes and
// masks the channel's received-data interrupt: the FIFO fills, the channel holds the far end, and
// nothing is dropped. ReadPort unmasks it once the reader has made room again.
//
// Why the FIFO and not MCR RTS or an XOFF queued by the driver: one way serves both kinds of flow
// control; the channel's XOFF is not stuck behind 64 bytes of its transmit FIFO; and MCR stays
// the client's (SerialSetRts, SerialGetModemControl and automatic RTS keep their meaning, with no
// RTS level to remember and put back). The line-status and modem-status interrupts stay enabled.
//
// A port without flow control in force is never held: the receive service drains the FIFO as
// always and drops what the ring cannot take.
#pragma once

#include <cstdint>

#include "hw/Registers.h"
#include "port/PortRecord.h"
#include "wire/LineConfig.h"

// The ring room below which a port is held: less than one more FIFO's worth.
constexpr std::uint32_t HoldRoom = FifoDepth;
// The ring room at which a held port is let go again. The gap keeps a reader that takes a few
// bytes at a time from turning the interrupt off and on (and the far end, with an XOFF and an
// XON on the line each time) for every read.
constexpr std::uint32_t ResumeRoom = 4 * FifoDepth;

// 1 while the port's received-data interrupt is masked. Changed with interrupts disabled (by the
// interrupt side, or by a request-side section); ReadPort tests it without a section, and a stale
// value only defers the release to its next call.
extern SharedByte ReceiveHeld[MaxPorts];

// Settings under which the channel stops the far end itself: automatic RTS (with automatic CTS or
// without) or XON/XOFF. Automatic CTS alone only stops this side's transmitter.
bool HoldsFarEnd(const LineConfig& settings);

// The interrupt enables the port wants now: every source, less received data while it is held.
// Every IER write that turns the enables on writes this.
std::uint8_t WantedEnables(std::uint8_t portIndex);
std::uint8_t WantedEnables(const PortRecord* port);

// How many of the `level` bytes in the FIFO the receive service takes: all of them without flow
// control, else no more than the ring has room for (the rest stays in the FIFO).
std::uint32_t ReceivableBytes(std::uint8_t portIndex, const PortRecord* port, std::uint32_t level);

// Decides the hold from the settings in force and the ring's room, with the gap between HoldRoom
// and ResumeRoom. Called with interrupts disabled (or by the interrupt service); true when it
// changed, and the caller then writes WantedEnables to IER unless it turns the enables off anyway.
bool UpdateReceiveHold(std::uint8_t portIndex, const PortRecord* port);
