// The benchmark's target image: loops of register accesses through the target's own access
// routines (platform/rtx/Registers.cpp), as the driver's register window makes them.
#include <cstdint>

#include "platform/Rtss.h"
#include "platform/rtx/ProcessEntry.h"

#define BENCH_EXPORT extern "C" __declspec(dllexport)

// Never entered: the benchmark calls the loops.
std::int32_t RTFCNDCL ProcessStart() { return -1; }

BENCH_EXPORT std::uint32_t LoadRegister(const volatile std::uint8_t* reg, std::uint32_t count) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) sum += RtLoadRegister8(reg);
    return sum;
}

BENCH_EXPORT void StoreRegister(volatile std::uint8_t* reg, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) RtStoreRegister8(reg, static_cast<std::uint8_t>(i));
}
