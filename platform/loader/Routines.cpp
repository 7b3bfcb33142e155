#include "platform/loader/Routines.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <map>
#include <string_view>

#include "platform/Rtss.h"
#include "platform/host/RegisterDevice.h"

namespace loader {
namespace {

constexpr std::uint8_t CallRel32 = 0xE8;
constexpr std::uint8_t JumpRel32 = 0xE9;  // a call in tail position
constexpr std::uint32_t BranchLength = 5;
constexpr std::uint8_t Cli = 0xFA;
constexpr std::uint8_t Breakpoint = 0xCC;  // int3

// The code GCC makes of each routine in every build type of the image, as hex bytes; ".." is a
// byte that may differ (a frame size, a stack slot).
struct Shape {
    RoutineKind kind;
    std::string_view code;
};
constexpr Shape Shapes[] = {
    // -O1 and above (Release, RelWithDebInfo, MinSizeRel)
    {RoutineKind::DisableInterrupts, "9c 58 fa c3"},
    // -O0 (Debug): with a frame, the flags through a stack slot
    {RoutineKind::DisableInterrupts, "55 89 e5 83 ec .. 9c 58 fa 89 45 .. 8b 45 .. c9 c3"},
    {RoutineKind::RestoreInterrupts, "8b 44 24 04 50 9d c3"},
    {RoutineKind::RestoreInterrupts, "55 89 e5 8b 45 08 50 9d 5d c3"},     // -Os
    {RoutineKind::RestoreInterrupts, "55 89 e5 8b 45 08 50 9d 90 5d c3"},  // -O0
    {RoutineKind::LoadRegister8, "8b 44 24 04 0f b6 00 c3"},
    {RoutineKind::LoadRegister8, "55 89 e5 8b 45 08 5d 8a 00 c3"},     // -Os
    {RoutineKind::LoadRegister8, "55 89 e5 8b 45 08 0f b6 00 5d c3"},  // -O0
    {RoutineKind::StoreRegister8, "8b 44 24 04 8b 54 24 08 88 10 c3"},
    {RoutineKind::StoreRegister8, "55 89 e5 8b 45 08 8b 55 0c 88 10 5d c3"},  // -Os
    {RoutineKind::StoreRegister8,                                             // -O0
     "55 89 e5 83 ec 04 8b 45 0c 88 45 fc 8b 45 08 0f b6 55 fc 88 10 90 c9 c3"},
};

constexpr int AnyByte = -1;

std::vector<int> Bytes(std::string_view code) {
    std::vector<int> bytes;
    for (std::size_t i = 0; i + 1 < code.size(); i += 3) {
        const std::string_view digits = code.substr(i, 2);
        int value = AnyByte;
        if (digits != "..") std::from_chars(digits.data(), digits.data() + 2, value, 16);
        bytes.push_back(value);
    }
    return bytes;
}

// The shape whose code starts at `at` and ends before `end`, with its length.
const Shape* ShapeAt(const std::uint8_t* at, const std::uint8_t* end, std::uint32_t* length) {
    static const auto patterns = [] {
        std::array<std::vector<int>, std::size(Shapes)> all;
        for (std::size_t i = 0; i < std::size(Shapes); ++i) all[i] = Bytes(Shapes[i].code);
        return all;
    }();
    for (std::size_t i = 0; i < std::size(Shapes); ++i) {
        const std::vector<int>& pattern = patterns[i];
        if (static_cast<std::size_t>(end - at) < pattern.size()) continue;
        if (std::equal(pattern.begin(), pattern.end(), at, [](int want, std::uint8_t have) {
                return want == AnyByte || want == have;
            })) {
            *length = static_cast<std::uint32_t>(pattern.size());
            return &Shapes[i];
        }
    }
    return nullptr;
}

// A routine of the register routines' code loads or stores a byte through its argument; where
// that is the register range the host's register device answers, and elsewhere memory does: a
// routine with the same code may reach ordinary memory (a debug build's ReadOnce has the very
// bytes of RtLoadRegister8).
std::uint8_t LoadByte(const volatile std::uint8_t* address) {
    return host::IsMappedRegister(address) ? RtLoadRegister8(address) : *address;
}

void StoreByte(volatile std::uint8_t* address, std::uint8_t value) {
    if (host::IsMappedRegister(address)) {
        RtStoreRegister8(address, value);
    } else {
        *address = value;
    }
}

std::uintptr_t HostRoutine(RoutineKind kind) {
    switch (kind) {
    case RoutineKind::DisableInterrupts:
        return reinterpret_cast<std::uintptr_t>(&DisableInterrupts);
    case RoutineKind::RestoreInterrupts:
        return reinterpret_cast<std::uintptr_t>(&RestoreInterrupts);
    case RoutineKind::LoadRegister8:
        return reinterpret_cast<std::uintptr_t>(&LoadByte);
    case RoutineKind::StoreRegister8:
        return reinterpret_cast<std::uintptr_t>(&StoreByte);
    }
    return 0;
}

std::uint32_t Word(const std::uint8_t* at) {
    std::uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

bool Executable(const LoadedCode& code, std::uint32_t offset, std::uint32_t length) {
    return std::any_of(code.executable.begin(), code.executable.end(), [&](const auto& range) {
        return offset >= range.first && offset <= range.second && range.second - offset >= length;
    });
}

// A relocation rewrites a word among these bytes: they hold an address, not a branch.
bool Relocated(const LoadedCode& code, std::uint32_t offset, std::uint32_t length) {
    const auto first = std::lower_bound(code.relocatedWords.begin(), code.relocatedWords.end(),
                                        offset < 3 ? 0 : offset - 3);
    return first != code.relocatedWords.end() && *first < offset + length;
}

// Every direct call and jump (e8/e9 with a 32-bit displacement) whose target lies in the code,
// by target. The scan reads every byte as a possible branch; one that is really part of another
// instruction would have to aim exactly at a routine's first byte to count, and never holds a
// relocated address.
std::map<std::uint32_t, std::vector<std::uint32_t>> BranchesByTarget(const LoadedCode& code) {
    std::map<std::uint32_t, std::vector<std::uint32_t>> branches;
    for (const auto& [start, end] : code.executable) {
        for (std::uint32_t at = start; at + BranchLength <= end; ++at) {
            const std::uint8_t opcode = code.base[at];
            if (opcode != CallRel32 && opcode != JumpRel32) continue;
            const std::uint32_t target = at + BranchLength + Word(code.base + at + 1);
            if (Executable(code, target, 1) && !Relocated(code, at, BranchLength)) {
                branches[target].push_back(at);
            }
        }
    }
    return branches;
}

}  // namespace

std::vector<Recognised> PatchRoutines(const LoadedCode& code, bool redirect) {
    std::vector<Recognised> found;
    for (const auto& [target, sites] : BranchesByTarget(code)) {
        std::uint32_t length = 0;
        const auto range =
            std::find_if(code.executable.begin(), code.executable.end(),
                         [&](const auto& r) { return target >= r.first && target < r.second; });
        const Shape* shape = ShapeAt(code.base + target, code.base + range->second, &length);
        if (shape == nullptr) continue;
        Recognised routine{shape->kind, reinterpret_cast<std::uintptr_t>(code.base + target),
                           length, 0, 0};
        if (shape->kind == RoutineKind::DisableInterrupts) {
            routine.cliOffset = static_cast<std::uint32_t>(
                std::find(code.base + target, code.base + target + length, Cli) -
                (code.base + target));
        }
        if (redirect) {
            const std::uintptr_t host = HostRoutine(shape->kind);
            for (const std::uint32_t site : sites) {
                const auto next = reinterpret_cast<std::uintptr_t>(code.base + site + BranchLength);
                const auto displacement = static_cast<std::uint32_t>(host - next);
                std::memcpy(code.base + site + 1, &displacement, sizeof displacement);
            }
            routine.redirectedCalls = static_cast<std::uint32_t>(sites.size());
        }
        // The restore's popf would keep the interrupt flag without a fault: its first byte traps
        // instead, and the trap does what the routine is for.
        if (shape->kind == RoutineKind::RestoreInterrupts) code.base[target] = Breakpoint;
        found.push_back(routine);
    }
    return found;
}

}  // namespace loader
