// The loader's test image, built by the target's cross compiler in every build type. It is
// entered as the driver is (platform/rtx/ProcessEntry.cpp) and prints its wide argument vector;
// its exported routines reach the interrupt flag and the registers through the target's own
// routines (platform/rtx/CpuLock.cpp, Registers.cpp) and by direct byte moves of the forms the
// traps decode, and read data through addresses that base relocations fix.
#include <cstdint>

#include "platform/Rtss.h"
#include "platform/rtx/ProcessEntry.h"

#define PROBE_EXPORT extern "C" __declspec(dllexport)

extern "C" std::int32_t RTCDECL __wgetmainargs(std::int32_t* argc, char16_t*** argv,
                                               char16_t*** environment, std::int32_t wildcards,
                                               std::int32_t* startupInfo);

std::int32_t RTFCNDCL ProcessStart() {
    std::int32_t argc = 0;
    char16_t** argv = nullptr;
    char16_t** environment = nullptr;
    std::int32_t startupInfo = 0;
    if (__wgetmainargs(&argc, &argv, &environment, 0, &startupInfo) < 0) return -1;
    for (std::int32_t i = 0; i < argc; ++i) RtWprintf(u"%d %s\n", i, argv[i]);
    ExitProcess(static_cast<std::uint32_t>(argc));
}

// The test's observer: 1 while interrupts are disabled on the calling thread.
using Probe = std::uint32_t (*)();

// A section inside a section, as the port engine nests them: a bit for each observation.
PROBE_EXPORT std::uint32_t NestedSections(Probe disabled) {
    const InterruptState outer = DisableInterrupts();
    std::uint32_t seen = disabled();
    const InterruptState inner = DisableInterrupts();
    seen |= disabled() << 1;
    RestoreInterrupts(inner);
    seen |= disabled() << 2;
    RestoreInterrupts(outer);
    return seen | disabled() << 3;
}

// A bare cli ... sti, outside the routines.
PROBE_EXPORT std::uint32_t ClearAndSet(Probe disabled) {
    asm volatile("cli" ::: "memory");
    const std::uint32_t seen = disabled();
    asm volatile("sti" ::: "memory");
    return seen | disabled() << 1;
}

PROBE_EXPORT void CopyRegisters(volatile std::uint8_t* window, std::uint32_t from, std::uint32_t to,
                                std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        RtStoreRegister8(window + to + i, RtLoadRegister8(window + from + i));
    }
}

// One of each byte move the traps decode, straight onto the window; the loads land in loaded[].
PROBE_EXPORT void DirectMoves(volatile std::uint8_t* window, std::uint32_t* loaded) {
    std::uint32_t zero = 0;
    std::uint32_t sign = 0;
    std::uint32_t high = 0;
    const std::uint32_t two = 2;
    asm volatile(
        "movzbl 0x3(%[w]), %[zero]\n\t"            // movzx, base + disp8: offset 0x03
        "movsbl 0x10(%[w],%[two],4), %[sign]\n\t"  // movsx, base + index * 4 + disp8: 0x18
        "movb 0x100(%[w]), %h[high]\n\t"           // mov to a high byte register, disp32: 0x100
        "movb %b[zero], 0x7(%[w],%[two],1)\n\t"    // mov from a low byte register: 0x09
        "movb $0x5a, (%[w])\n\t"                   // mov of an immediate, base alone: 0x00
        "movb %h[high], 0x20(,%[w],1)\n\t"         // mov from a high byte register, no base: 0x20
        : [zero] "=&Q"(zero), [sign] "=&r"(sign), [high] "+Q"(high)
        : [w] "r"(window), [two] "r"(two)
        : "memory");
    loaded[0] = zero;
    loaded[1] = sign;
    loaded[2] = high;
}

PROBE_EXPORT std::uint32_t LastErrorRoundTrip(std::uint32_t code) {
    SetLastError(code);
    return GetLastError();
}

namespace {
const char greeting[] = "relocated";
}  // namespace
// In the image's data, an absolute address the loader fixes where the image is moved.
const char* greetingAddress = greeting;

PROBE_EXPORT const char* Greeting() { return greetingAddress; }

std::uint32_t calls = 0;  // in the writable data

PROBE_EXPORT std::uint32_t CountCalls() { return ++calls; }
