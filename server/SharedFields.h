// Access to the fields of a shared RequestBlock, which clients in other processes may change at
// any moment.
#pragma once

#include <cstdint>

// One load, never repeated by the compiler: each decision about a request rests on a single
// snapshot of what the client wrote.
inline std::uint32_t ReadOnce(const std::uint32_t& field) {
    return static_cast<const volatile std::uint32_t&>(field);
}
inline std::uint8_t ReadOnce(const std::uint8_t& field) {
    return static_cast<const volatile std::uint8_t&>(field);
}

// The block's address fields are 4 bytes wide: the whole address on the 32-bit target, its low
// half on the 64-bit host. Only the driver reads them, and it does not use them.
inline std::uint32_t AddressWord(const void* address) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
}
