// The per-port state shared by the request side and the interrupt side, and the table of ports.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hw/Registers.h"
#include "wire/LineConfig.h"

constexpr std::uint32_t RingSize = 8192;
constexpr std::uint32_t MaxPorts = 8;

// A word that one side reads without disabling interrupts (a count tested before a loop,
// txActive). On the single-processor target a plain aligned word suffices; on the host, where the
// two sides really run at once, it is an atomic so that such reads are well defined.
using SharedWord = std::atomic<std::uint32_t>;
using SharedByte = std::atomic<std::uint8_t>;
static_assert(sizeof(SharedWord) == 4 && sizeof(SharedByte) == 1);

// Each ring is its storage, count, tail (next byte to take) and head (next slot to fill).
// The count is the one word both sides change, always with interrupts disabled; each index is
// moved by one side only. The layout is fixed field by field, so lcrShadow, mcrShadow and deviceId
// stay although nothing is decided by them: the driver takes LCR and MCR from the channel itself.
struct PortRecord {
    LineConfig config;                  // last SerialSetConfig data, also when it was refused
    std::uint8_t lcrShadow;             // word format SetPortConfig wrote to LCR; never read
    std::uint8_t mcrShadow;             // DTR/RTS operations' scratch, reloaded from MCR each time
    std::uint16_t deviceId;             // PCI device ID of the board (set-up); never read
    std::uint8_t hasLineDriverControl;  // 1: line driver selectable by software (set-up)
    ChannelRegs* regs;                  // this channel's register window (set-up)
    SharedWord txActive;                // 1 while the interrupt side feeds the transmitter
    std::uint8_t rxRing[RingSize];      // filled by the receive service
    SharedWord rxCount;                 // bytes in rxRing
    std::uint32_t rxTail;               // ReadPort's index
    std::uint32_t rxHead;               // receive service's index
    std::uint8_t txRing[RingSize];      // filled by WritePort
    SharedWord txCount;                 // bytes in txRing
    std::uint32_t txTail;               // transmit service's index
    std::uint32_t txHead;               // WritePort's index
    SharedByte lineErrors;              // LSR error bits seen so far, only ever ORed in
};

// Every field has its described size in every build; with the target's 4-byte pointers the whole
// record has the natural 32-bit layout.
static_assert(sizeof(PortRecord::config) == 16 && sizeof(PortRecord::lcrShadow) == 1 &&
              sizeof(PortRecord::mcrShadow) == 1 && sizeof(PortRecord::deviceId) == 2 &&
              sizeof(PortRecord::hasLineDriverControl) == 1 && sizeof(PortRecord::txActive) == 4 &&
              sizeof(PortRecord::rxRing) == RingSize && sizeof(PortRecord::rxCount) == 4 &&
              sizeof(PortRecord::rxTail) == 4 && sizeof(PortRecord::rxHead) == 4 &&
              sizeof(PortRecord::txRing) == RingSize && sizeof(PortRecord::txCount) == 4 &&
              sizeof(PortRecord::txTail) == 4 && sizeof(PortRecord::txHead) == 4 &&
              sizeof(PortRecord::lineErrors) == 1);
static_assert(sizeof(void*) != 4 ||
              (offsetof(PortRecord, lcrShadow) == 16 && offsetof(PortRecord, mcrShadow) == 17 &&
               offsetof(PortRecord, deviceId) == 18 &&
               offsetof(PortRecord, hasLineDriverControl) == 20 &&
               offsetof(PortRecord, regs) == 24 && offsetof(PortRecord, txActive) == 28 &&
               offsetof(PortRecord, rxRing) == 32 && offsetof(PortRecord, rxCount) == 8224 &&
               offsetof(PortRecord, rxTail) == 8228 && offsetof(PortRecord, rxHead) == 8232 &&
               offsetof(PortRecord, txRing) == 8236 && offsetof(PortRecord, txCount) == 16428 &&
               offsetof(PortRecord, txTail) == 16432 && offsetof(PortRecord, txHead) == 16436 &&
               offsetof(PortRecord, lineErrors) == 16440 && sizeof(PortRecord) == 16444));

// Entry n is channel n's record, or null for channels the board does not have.
extern PortRecord* PortTable[MaxPorts];

// The record for a port index, or null when the index names no set-up port.
PortRecord* FindPort(std::uint8_t portIndex);
