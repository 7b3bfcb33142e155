// The events the driver raises for the clients that wait on a port (wire/EventBlock.h): per port,
// its event block and the semaphores of its waiter slots, made by board set-up beside the port's
// device objects.
#pragma once

#include <cstdint>

#include "platform/Rtss.h"
#include "port/PortRecord.h"
#include "wire/EventBlock.h"

struct PortEventObjects {
    EventBlock* block;  // the block in the driver's mapping; null: the port has no events
    RtHandle sharedMemory;
    RtHandle waiters[EventWaiterSlots];  // slot n's semaphore
};

// Entry n is port n's; written by set-up before the port's requests are let through and the
// interrupt is attached, never changed afterwards.
extern PortEventObjects EventObjects[MaxPorts];

// Makes the port's event block and slot semaphores under its device name. When one cannot be made
// (a name too long, the platform refusing) whatever was made is closed again and the port works
// without events: its clients poll, as with a driver that has none. Nothing is printed.
bool CreatePortEvents(std::uint8_t portIndex, const char* deviceName);

// Marks the events (PortEvent bits) in every slot of the port that wants them and wakes the
// owners that sleep. It may release semaphores, so it is never called inside an
// interrupt-disabled section; a port without events, or no slot wanting them, costs a few loads.
void RaisePortEvents(std::uint8_t portIndex, std::uint32_t events);
// ModemChange for an MSR value just read, when it has change bits: they and the value go to the
// waiters with it.
void RaiseModemChange(std::uint8_t portIndex, std::uint8_t msr);
// LineError for an LSR value (or the overrun of a full ring), when it has error bits.
void RaiseLineErrors(std::uint8_t portIndex, std::uint8_t lsr);
