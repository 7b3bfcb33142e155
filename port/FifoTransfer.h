// The two burst movers of the interrupt service: txRing into the transmit FIFO and the receive
// FIFO into rxRing, each sizing its burst by one stable level reading. Both leave a channel
// without a record alone.
#pragma once

#include <cstdint>

// Moves txRing into the transmit FIFO, up to its free room.
void TransmitService(std::uint8_t channel);
// Drains the receive FIFO into rxRing. Without flow control it drops what the full ring has no room
// for; with flow control it leaves that in the FIFO and holds the port (port/ReceiveHold.h).
void ReceiveService(std::uint8_t channel);
