// What answers the byte loads and stores of a register region: a board of the simulated machine,
// the scripted register fake of the unit tests, a benchmark's stand-in board. The host backend
// maps such a device at an address the driver's register accesses reach
// (platform/host/RegisterDevice.h); the device itself knows nothing of addresses or the driver.
#pragma once

#include <cstdint>

namespace sim {

class RegisterDevice {
public:
    virtual ~RegisterDevice() = default;
    virtual std::uint8_t Load(std::uint32_t offset) = 0;
    virtual void Store(std::uint32_t offset, std::uint8_t value) = 0;
};

}  // namespace sim
