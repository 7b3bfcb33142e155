// The events of a port: what the interrupt service tells the clients that wait on the port
// instead of asking again and again. Part of the wire format between the driver and its clients,
// beside RequestBlock.h.
//
// For each device, board set-up creates beside the request objects an event block (a shared
// memory object named "<device name>.ev" holding one EventBlock) and one semaphore per waiter slot
// ("<device name>.w0" to ".w7", initial count 0, maximum 1). A device without them (an older
// driver, or one that could not make them) has no events, and its clients poll as before.
//
// A client claims a free slot, writes the events it wants, and, when it has to wait, arms the slot
// and sleeps on the slot's semaphore. Whenever one of the events happens, the interrupt service
// (and the few requests whose register reads consume what an event would report) ORs it into
// `pending` of every slot that wants it, and when the slot is armed, disarms it and releases its
// semaphore: a client that never waits costs the driver no release, one that does costs one per
// sleep. The client takes `pending` by exchanging it with 0, so each client learns what happened
// since it last looked, whatever the others do.
//
// Nothing is lost between a look and a sleep: the client drains a stale count of its semaphore,
// arms the slot and takes `pending` once more before it sleeps. An event before the arming shows
// in that second look; one after it finds the slot armed and releases the semaphore. After a
// time-out the client disarms the slot itself; a release that raced with that is a stale count
// that its next wait drains first.
//
// Every field is a 32-bit word, changed by both sides with sequentially consistent atomic
// operations only (lock-prefixed instructions on x86, where the clients may run on other
// processors than the driver), so that 32-bit and 64-bit processes share one layout.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The event bits of `wanted` and `pending`.
namespace PortEvent {
constexpr std::uint32_t Received = 0x01;  // bytes entered the receive ring
// The transmit ring emptied: the channel's FIFO and shift register hold the last bytes handed
// over (SerialGetTransmitState tells when they have left the line).
constexpr std::uint32_t TransmitRingEmpty = 0x02;
// The transmit ring is at most half full again (TransmitRoomLevel): a writer that found it full
// has room for a good part of a data area.
constexpr std::uint32_t TransmitRoom = 0x04;
constexpr std::uint32_t ModemChange = 0x08;  // CTS, DSR, RI or DCD changed: modemChanges says which
constexpr std::uint32_t LineError = 0x10;    // overrun, parity, framing error or break: lineErrors
constexpr std::uint32_t FromDriver = 0x1F;   // every event the driver raises
// Set in its own slot by the client, from another thread, to end its wait; never by the driver.
constexpr std::uint32_t Cancelled = 0x80000000;
}  // namespace PortEvent

// The room at which TransmitRoom is raised: bytes queued at most, of the ring's 8192.
constexpr std::uint32_t TransmitRoomLevel = 4096;

constexpr std::uint32_t EventWaiterSlots = 8;
constexpr std::uint32_t EventBlockLayout = 0x51450001;  // "QE", layout 1

struct EventSlot {
    // 0: free. Otherwise the process ID of the client that claimed it with a compare-and-swap
    // from 0, or from the ID of an owner that has died.
    std::uint32_t owner;
    std::uint32_t wanted;   // PortEvent bits the owner wants; written by the owner only
    std::uint32_t pending;  // what happened since the owner looked: the driver ORs, it exchanges 0
    std::uint32_t armed;    // 1: the owner sleeps, or is about to; whoever exchanges it to 0 wakes
    // The MSR change bits (Msr::ChangeMask) that the driver's MSR reads consumed, ORed; the owner
    // exchanges them with 0. Written before ModemChange shows in pending.
    std::uint32_t modemChanges;
    std::uint32_t modemStatus;  // the last MSR value those reads gave, whole
    std::uint32_t lineErrors;   // LSR error bits (Lsr::ErrorMask) seen, ORed; exchanged with 0
    std::uint32_t reserved;
};

struct EventBlock {
    // EventBlockLayout, stored last when the driver fills the block: a client that finds another
    // value finds no events it can read.
    std::uint32_t layout;
    std::uint32_t slotCount;  // EventWaiterSlots
    std::uint32_t reserved[2];
    EventSlot slots[EventWaiterSlots];
};

static_assert(sizeof(EventSlot) == 32 && offsetof(EventSlot, pending) == 8 &&
              offsetof(EventSlot, armed) == 12 && offsetof(EventSlot, modemChanges) == 16 &&
              offsetof(EventSlot, lineErrors) == 24);
static_assert(sizeof(EventBlock) == 16 + EventWaiterSlots * sizeof(EventSlot) &&
              offsetof(EventBlock, slots) == 16);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

// Every access to a word of the block, on either side.
inline std::atomic_ref<std::uint32_t> EventWord(std::uint32_t& word) {
    return std::atomic_ref<std::uint32_t>(word);
}

constexpr const char EventBlockSuffix[] = ".ev";
// The semaphore of slot n: this suffix with its last character made the digit n.
constexpr const char WaiterSemaphoreSuffix[] = ".w0";
