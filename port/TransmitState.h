// How far the transmit side has got: what waits in the ring and whether the channel has sent the
// last of what it was given. A client waits on it for the line to drain.
#pragma once

#include <cstdint>

struct PortTransmitState {
    std::uint32_t queued;           // bytes in txRing
    std::uint8_t transmitterEmpty;  // 1: the channel's FIFO and shift register are both empty
    std::uint8_t fifoLevel;         // one reading of the transmit FIFO's level counter
};

// The values are taken in one interrupt-disabled section. A port index without a record gives
// an empty ring and an empty transmitter and touches no register.
PortTransmitState ReadTransmitState(std::uint8_t portIndex);
