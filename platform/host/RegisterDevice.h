// Register mapping on the host: how a register device (sim/RegisterDevice.h: a board of the
// simulated machine, the scripted register fake of the unit tests) gets an address that the
// platform's register loads and stores reach.
#pragma once

#include <cstdint>

#include "sim/RegisterDevice.h"

namespace host {

// The largest region one mapping can cover.
constexpr std::uint32_t MaxMappingLength = 0x10000;

// Gives the device an address in a reserved, inaccessible range: loads and stores through the
// platform reach the device, a direct dereference faults at once. Null when no slot is free.
void* MapRegisterDevice(sim::RegisterDevice* device, std::uint32_t length);
void UnmapRegisterDevice(void* base);
// True when a device is mapped at the address: what a trapped direct access may be sent to.
bool IsMappedRegister(const volatile void* address);

}  // namespace host
