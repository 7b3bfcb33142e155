#include "sim/PciConfig.h"

namespace sim {
namespace {

constexpr std::uint32_t VendorId = 0x00;
constexpr std::uint32_t DeviceId = 0x02;
constexpr std::uint32_t Command = 0x04;
constexpr std::uint32_t Revision = 0x08;
constexpr std::uint32_t ProgInterface = 0x09;
constexpr std::uint32_t SubClass = 0x0A;
constexpr std::uint32_t BaseClass = 0x0B;
constexpr std::uint32_t HeaderType = 0x0E;
constexpr std::uint32_t Bar0 = 0x10;
constexpr std::uint32_t SubsystemVendorId = 0x2C;
constexpr std::uint32_t SubsystemId = 0x2E;
constexpr std::uint32_t InterruptLine = 0x3C;
constexpr std::uint32_t InterruptPin = 0x3D;

constexpr std::uint16_t MemorySpaceEnabled = 0x0002;
constexpr std::uint8_t MultiFunction = 0x80;
constexpr std::uint8_t IntA = 1;

void Put16(std::array<std::uint8_t, ConfigSpaceSize>& space, std::uint32_t offset,
           std::uint16_t value) {
    space[offset] = static_cast<std::uint8_t>(value & 0xFF);
    space[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::array<std::uint8_t, ConfigSpaceSize>& space, std::uint32_t offset,
           std::uint32_t value) {
    Put16(space, offset, static_cast<std::uint16_t>(value & 0xFFFF));
    Put16(space, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

std::array<std::uint8_t, ConfigSpaceSize> ConfigSpaceOf(const FunctionDescription& function,
                                                        bool multiFunctionDevice) {
    std::array<std::uint8_t, ConfigSpaceSize> space{};
    Put16(space, VendorId, function.vendor);
    Put16(space, DeviceId, function.deviceId);
    space[Revision] = 1;
    space[HeaderType] = multiFunctionDevice ? MultiFunction : 0;
    if (function.isBoard) {
        Put16(space, Command, MemorySpaceEnabled);
        // A serial controller, 16550-compatible.
        space[BaseClass] = 0x07;
        space[SubClass] = 0x00;
        space[ProgInterface] = 0x02;
        Put32(space, Bar0, function.bar0);  // 32-bit, non-prefetchable memory: low bits 0
    }
    Put16(space, SubsystemVendorId, function.subsystemVendor);
    Put16(space, SubsystemId, function.subsystemId);
    space[InterruptLine] = function.irq;
    space[InterruptPin] = function.hasIrq ? IntA : 0;
    return space;
}

}  // namespace sim
