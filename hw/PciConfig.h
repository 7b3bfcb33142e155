// The board's PCI identity: fields of the type-0 configuration header, the identification of the
// family, and what the Device ID and Subsystem ID say about a board.
#pragma once

#include <cstdint>

namespace Pci {
constexpr std::uint32_t HeaderSize = 64;
constexpr std::uint32_t VendorId = 0x00;           // 16 bits; 0xFFFF: nothing answers
constexpr std::uint32_t DeviceId = 0x02;           // 16 bits
constexpr std::uint32_t Bar0 = 0x10;               // 32 bits: the register space
constexpr std::uint32_t SubsystemVendorId = 0x2C;  // 16 bits
constexpr std::uint32_t SubsystemId = 0x2E;        // 16 bits
constexpr std::uint32_t InterruptLine = 0x3C;      // 8 bits
constexpr std::uint32_t SubsystemIdsSize = 4;      // subsystem vendor and subsystem, read together

constexpr std::uint16_t NoDevice = 0xFFFF;
constexpr std::uint32_t EmptySlotBytes = 2;  // what a read of an empty slot reports

constexpr std::uint32_t BusCount = 256;
constexpr std::uint32_t DevicesPerBus = 32;
constexpr std::uint32_t FunctionsPerDevice = 8;
constexpr std::uint32_t FunctionShift = 5;  // slot number: device | function << 5
}  // namespace Pci

namespace Quelta {
constexpr std::uint16_t VendorId = 0x13A8;
constexpr std::uint16_t SubsystemVendorId = 0x12C4;
constexpr std::uint16_t Device2 = 0x0152;       // 2 channels, 1024-byte register space
constexpr std::uint16_t Device4 = 0x0154;       // 4 channels, 2048 bytes
constexpr std::uint16_t Device8 = 0x0158;       // 8 channels, 4096 bytes
constexpr std::uint16_t Device8b = 0x0258;      // 8 channels, 4096 bytes
constexpr std::uint16_t PinPulseModel = 0x353;  // pulses PinLevel while its interrupt is served
}  // namespace Quelta

// Little-endian fields of a configuration header held in a byte buffer.
inline std::uint16_t ConfigWord(const std::uint8_t* header, std::uint32_t offset) {
    return static_cast<std::uint16_t>(header[offset] | header[offset + 1] << 8);
}

inline std::uint32_t ConfigDword(const std::uint8_t* header, std::uint32_t offset) {
    return static_cast<std::uint32_t>(ConfigWord(header, offset)) |
           static_cast<std::uint32_t>(ConfigWord(header, offset + 2)) << 16;
}
