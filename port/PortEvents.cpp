#include "port/PortEvents.h"

#include <cstring>

#include "hw/Registers.h"

PortEventObjects EventObjects[MaxPorts] = {};

namespace {

// The longest device name that still leaves room for a suffix and the terminator.
constexpr std::uint32_t NameBufferSize = 128;
constexpr std::uint32_t SuffixBytes = 4;  // ".ev" or ".wN" with its terminator
static_assert(sizeof EventBlockSuffix == SuffixBytes &&
              sizeof WaiterSemaphoreSuffix == SuffixBytes);
static_assert(EventWaiterSlots <= 10, "one digit names a slot");

void CloseObjects(PortEventObjects& objects) {
    for (RtHandle& waiter : objects.waiters) {
        if (waiter != nullptr) {
            RtCloseHandle(waiter);
            waiter = nullptr;
        }
    }
    if (objects.sharedMemory != nullptr) {
        RtCloseHandle(objects.sharedMemory);
    }
    objects.sharedMemory = nullptr;
    objects.block = nullptr;
}

// The marks of one slot, then its wake-up. What goes with an event is in place before the event
// shows in pending, so an owner that sees the event also sees what it says.
void MarkSlot(PortEventObjects& objects, std::uint32_t slotIndex, std::uint32_t events,
              std::uint8_t msr, std::uint8_t lsrErrors) {
    EventSlot& slot = objects.block->slots[slotIndex];
    const std::uint32_t wanted = EventWord(slot.wanted).load() & events;
    if (wanted == 0) {
        return;
    }
    if ((wanted & PortEvent::ModemChange) != 0) {
        EventWord(slot.modemStatus).store(msr);
        EventWord(slot.modemChanges).fetch_or(msr & Msr::ChangeMask);
    }
    if ((wanted & PortEvent::LineError) != 0) {
        EventWord(slot.lineErrors).fetch_or(lsrErrors);
    }
    EventWord(slot.pending).fetch_or(wanted);
    // Only the one who turns armed from 1 to 0 releases: an owner that sleeps is woken once, one
    // that is not waiting costs nothing. A release refused because a count already stands wakes
    // the owner all the same.
    if (EventWord(slot.armed).exchange(0) != 0) {
        (void)RtReleaseSemaphore(objects.waiters[slotIndex], 1, nullptr);
    }
}

void Raise(std::uint8_t portIndex, std::uint32_t events, std::uint8_t msr, std::uint8_t lsrErrors) {
    if (portIndex >= MaxPorts || events == 0) {
        return;
    }
    PortEventObjects& objects = EventObjects[portIndex];
    if (objects.block == nullptr) {
        return;
    }
    for (std::uint32_t slot = 0; slot < EventWaiterSlots; ++slot) {
        MarkSlot(objects, slot, events, msr, lsrErrors);
    }
}

}  // namespace

bool CreatePortEvents(std::uint8_t portIndex, const char* deviceName) {
    const std::size_t nameLength = std::strlen(deviceName);
    if (portIndex >= MaxPorts || nameLength + SuffixBytes > NameBufferSize) {
        return false;
    }
    char name[NameBufferSize];
    std::memcpy(name, deviceName, nameLength);
    char* suffix = name + nameLength;

    PortEventObjects objects{};
    std::memcpy(suffix, EventBlockSuffix, SuffixBytes);
    void* mapping = nullptr;
    objects.sharedMemory = RtCreateSharedMemoryA(
        RtValue::PageReadWrite, 0, static_cast<std::uint32_t>(sizeof(EventBlock)), name, &mapping);
    if (objects.sharedMemory == nullptr) {
        return false;
    }
    // The platform promises no contents: every slot starts free, and the layout word, written
    // last, tells a client that the rest is in place.
    auto* block = static_cast<EventBlock*>(mapping);
    std::memset(block, 0, sizeof(EventBlock));
    objects.block = block;
    std::memcpy(suffix, WaiterSemaphoreSuffix, SuffixBytes);
    for (std::uint32_t slot = 0; slot < EventWaiterSlots; ++slot) {
        suffix[SuffixBytes - 2] = static_cast<char>('0' + slot);
        objects.waiters[slot] = RtCreateSemaphoreA(nullptr, 0, 1, name);
        if (objects.waiters[slot] == nullptr) {
            CloseObjects(objects);
            return false;
        }
    }
    EventWord(block->slotCount).store(EventWaiterSlots);
    EventWord(block->layout).store(EventBlockLayout);
    EventObjects[portIndex] = objects;
    return true;
}

void RaisePortEvents(std::uint8_t portIndex, std::uint32_t events) {
    Raise(portIndex, events, 0, 0);
}

void RaiseModemChange(std::uint8_t portIndex, std::uint8_t msr) {
    if ((msr & Msr::ChangeMask) != 0) {
        Raise(portIndex, PortEvent::ModemChange, msr, 0);
    }
}

void RaiseLineErrors(std::uint8_t portIndex, std::uint8_t lsr) {
    const auto errors = static_cast<std::uint8_t>(lsr & Lsr::ErrorMask);
    if (errors != 0) {
        Raise(portIndex, PortEvent::LineError, 0, errors);
    }
}
