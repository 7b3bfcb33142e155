// The four small routines through which the target image reaches the processor's interrupt flag
// and the board's registers (platform/rtx/CpuLock.cpp and Registers.cpp), found by their code in
// the loaded image. In a user-mode process on the host they cannot do their work: cli faults,
// popf silently keeps the interrupt flag as it is, and the register window is an inaccessible
// range. So every direct call or jump to one of them is sent straight to the host backend's
// routine (DisableInterrupts and RestoreInterrupts, whose nesting and balance checks then apply;
// RtLoadRegister8 and RtStoreRegister8 for addresses in the register range); and the routines'
// own bodies, still reachable by a call that was not found, trap (Traps.h). Only the loaded copy
// changes.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace loader {

enum class RoutineKind : std::uint8_t {
    DisableInterrupts,  // pushf; pop %eax; cli: returns the flags it found
    RestoreInterrupts,  // push of the argument; popf
    LoadRegister8,      // one byte load through the argument
    StoreRegister8,     // one byte store of the second argument through the first
};
constexpr std::size_t RoutineKinds = 4;

struct Recognised {
    RoutineKind kind;
    std::uintptr_t address;   // first byte in the loaded image
    std::uint32_t length;     // bytes of its code
    std::uint32_t cliOffset;  // DisableInterrupts: where its cli lies; the trap acts from there
    std::uint32_t redirectedCalls;  // direct calls and jumps sent to the host's routine
};

// The image as loaded, before its protections are set.
struct LoadedCode {
    std::uint8_t* base;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> executable;  // [start, end) offsets
    std::span<const std::uint32_t> relocatedWords;  // offsets, ascending, that relocations rewrite
};

// Finds the routines by their code at the targets of direct calls and, with `redirect`, sends
// those calls to the host; arms the traps of the routines' bodies either way.
std::vector<Recognised> PatchRoutines(const LoadedCode& code, bool redirect);

}  // namespace loader
