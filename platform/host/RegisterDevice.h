// The register-device interface of the host backend: whatever answers the byte loads and stores
// of a mapped register region (a board of the simulated machine, the scripted register fake of
// the unit tests), and how it gets an address.
#pragma once

#include <cstdint>

namespace host {

class RegisterDevice {
public:
    virtual ~RegisterDevice() = default;
    virtual std::uint8_t Load(std::uint32_t offset) = 0;
    virtual void Store(std::uint32_t offset, std::uint8_t value) = 0;
};

// The largest region one mapping can cover.
constexpr std::uint32_t MaxMappingLength = 0x10000;

// Gives the device an address in a reserved, inaccessible range: loads and stores through the
// platform reach the device, a direct dereference faults at once. Null when no slot is free.
void* MapRegisterDevice(RegisterDevice* device, std::uint32_t length);
void UnmapRegisterDevice(void* base);

}  // namespace host
