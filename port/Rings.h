// The request side of the two rings: SerialRead empties rxRing, SerialWrite fills txRing.
// Neither waits or fails; an empty or full ring shows in the count alone.
#pragma once

#include <cstdint>

// Copies up to length received bytes into destination; count reports how many. A port held for
// want of ring room (port/ReceiveHold.h) is let go once the read has made enough of it.
void ReadPort(std::uint8_t portIndex, std::uint8_t* destination, std::uint32_t length,
              std::uint32_t* count);

// Queues as much of source as fits, kicks an idle transmitter; count reports how many were taken.
void WritePort(std::uint8_t portIndex, const std::uint8_t* source, std::uint32_t length,
               std::uint32_t* count);
