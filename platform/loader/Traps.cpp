#include "platform/loader/Traps.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Rtss.h"
#include "platform/host/RegisterDevice.h"
#include "platform/loader/Image.h"

namespace loader {
namespace {

constexpr std::uint8_t Cli = 0xFA;
constexpr std::uint8_t Sti = 0xFB;
constexpr std::uint8_t TwoByteOpcode = 0x0F;
constexpr std::uint8_t MoveToMemory8 = 0x88;    // mov r/m8, r8
constexpr std::uint8_t MoveFromMemory8 = 0x8A;  // mov r8, r/m8
constexpr std::uint8_t MoveImmediate8 = 0xC6;   // mov r/m8, imm8 (reg field 0)
constexpr std::uint8_t MoveZeroExtend8 = 0xB6;  // 0f b6: movzx r32, r/m8
constexpr std::uint8_t MoveSignExtend8 = 0xBE;  // 0f be: movsx r32, r/m8
constexpr std::size_t LongestInstruction = 15;

constexpr std::size_t MostImages = 8;
std::array<std::atomic<const LoadedImage*>, MostImages> images{};

// The machine's general registers by their number in an instruction's encoding.
constexpr int Gpr[8] = {REG_EAX, REG_ECX, REG_EDX, REG_EBX, REG_ESP, REG_EBP, REG_ESI, REG_EDI};

// A section opened by a cli outside the recognised routines, until its sti.
thread_local bool cliOpen = false;
thread_local InterruptState cliState = 0;

// The interrupted thread's registers, as the kernel restores them when the handler returns.
struct Registers {
    greg_t* gregs;

    std::uint32_t Get(int number) const { return static_cast<std::uint32_t>(gregs[Gpr[number]]); }
    void Set(int number, std::uint32_t value) { gregs[Gpr[number]] = static_cast<greg_t>(value); }
    // 8-bit registers: al, cl, dl, bl, then ah, ch, dh, bh.
    std::uint8_t Get8(int number) const {
        return static_cast<std::uint8_t>(Get(number & 3) >> (number & 4 ? 8 : 0));
    }
    void Set8(int number, std::uint8_t value) {
        const int shift = number & 4 ? 8 : 0;
        const std::uint32_t kept = Get(number & 3) & ~(0xFFu << shift);
        Set(number & 3, kept | static_cast<std::uint32_t>(value) << shift);
    }
    std::uint32_t& Eip() { return reinterpret_cast<std::uint32_t&>(gregs[REG_EIP]); }
    std::uint32_t& Esp() { return reinterpret_cast<std::uint32_t&>(gregs[REG_ESP]); }
};

const LoadedImage* ImageAt(std::uintptr_t address) {
    for (const auto& slot : images) {
        const LoadedImage* image = slot.load(std::memory_order_acquire);
        if (image != nullptr && image->Contains(address)) return image;
    }
    return nullptr;
}

const Recognised* RoutineAt(const LoadedImage& image, RoutineKind kind, std::uintptr_t address) {
    for (const Recognised& routine : image.Routines()) {
        if (routine.kind == kind && routine.address == address) return &routine;
    }
    return nullptr;
}

// The memory operand of a ModRM byte (and its SIB byte and displacement): its address and the
// bytes it takes. False for a register operand or bytes that run out.
bool MemoryOperand(const std::uint8_t* code, std::size_t available, const Registers& registers,
                   std::uint32_t* address, std::size_t* length) {
    auto displacement32 = [&](std::size_t at) {
        std::uint32_t value;
        std::memcpy(&value, code + at, sizeof value);
        return value;
    };
    if (available < 1) return false;
    const int mod = code[0] >> 6;
    const int rm = code[0] & 7;
    std::size_t used = 1;
    std::uint32_t effective = 0;
    if (mod == 3) return false;
    if (rm == 4) {  // a SIB byte follows: base + index << scale
        if (available < 2) return false;
        const int scale = code[1] >> 6;
        const int index = (code[1] >> 3) & 7;
        const int base = code[1] & 7;
        used = 2;
        if (index != 4) effective += registers.Get(index) << scale;
        if (base == 5 && mod == 0) {
            if (available < used + 4) return false;
            effective += displacement32(used);
            used += 4;
        } else {
            effective += registers.Get(base);
        }
    } else if (rm == 5 && mod == 0) {
        if (available < used + 4) return false;
        effective = displacement32(used);
        used += 4;
    } else {
        effective = registers.Get(rm);
    }
    if (mod == 1) {
        if (available < used + 1) return false;
        effective += static_cast<std::uint32_t>(static_cast<std::int8_t>(code[used]));
        used += 1;
    } else if (mod == 2) {
        if (available < used + 4) return false;
        effective += displacement32(used);
        used += 4;
    }
    *address = effective;
    *length = used;
    return true;
}

// A byte move between a register (or an immediate) and the register range, made through the
// host's register device. False for any other instruction or address.
bool EmulateRegisterAccess(const std::uint8_t* code, std::size_t available, Registers registers) {
    const bool twoByte = available >= 2 && code[0] == TwoByteOpcode;
    const std::uint8_t opcode = twoByte ? code[1] : code[0];
    const std::size_t opcodeLength = twoByte ? 2 : 1;
    if (twoByte
            ? opcode != MoveZeroExtend8 && opcode != MoveSignExtend8
            : opcode != MoveToMemory8 && opcode != MoveFromMemory8 && opcode != MoveImmediate8) {
        return false;
    }
    std::uint32_t address = 0;
    std::size_t operandLength = 0;
    if (!MemoryOperand(code + opcodeLength, available - opcodeLength, registers, &address,
                       &operandLength)) {
        return false;
    }
    auto* target = reinterpret_cast<volatile std::uint8_t*>(address);
    if (!host::IsMappedRegister(target)) return false;
    const int reg = (code[opcodeLength] >> 3) & 7;
    std::size_t length = opcodeLength + operandLength;
    if (!twoByte && opcode == MoveImmediate8) {
        if (reg != 0 || available < length + 1) return false;
        RtStoreRegister8(target, code[length]);
        length += 1;
    } else if (!twoByte && opcode == MoveToMemory8) {
        RtStoreRegister8(target, registers.Get8(reg));
    } else if (!twoByte) {
        registers.Set8(reg, RtLoadRegister8(target));
    } else if (opcode == MoveZeroExtend8) {
        registers.Set(reg, RtLoadRegister8(target));
    } else {
        const auto value = static_cast<std::int8_t>(RtLoadRegister8(target));
        registers.Set(reg, static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
    }
    registers.Eip() += static_cast<std::uint32_t>(length);
    return true;
}

bool OnFault(Registers registers) {
    const std::uintptr_t eip = registers.Eip();
    const LoadedImage* image = ImageAt(eip);
    if (image == nullptr) return false;
    const auto* code = reinterpret_cast<const std::uint8_t*>(eip);
    const std::size_t available =
        std::min<std::size_t>(LongestInstruction, image->Base() + image->Size() - eip);
    if (code[0] == Cli) {
        bool inRoutine = false;
        for (const Recognised& routine : image->Routines()) {
            inRoutine |= routine.kind == RoutineKind::DisableInterrupts &&
                         routine.address + routine.cliOffset == eip;
        }
        if (inRoutine) {
            // The routine's result is the state the host found, not the flags pushf read.
            registers.Set(0, DisableInterrupts());
        } else if (!cliOpen) {
            cliState = DisableInterrupts();
            cliOpen = true;
        }
        registers.Eip() += 1;
        return true;
    }
    if (code[0] == Sti) {
        if (cliOpen) {
            cliOpen = false;
            RestoreInterrupts(cliState);
        }
        registers.Eip() += 1;
        return true;
    }
    return EmulateRegisterAccess(code, available, registers);
}

// int3 at the start of a RestoreInterrupts routine: the routine, done for the image; the caller
// pops its argument, as the C calling convention has it.
bool OnBreakpoint(Registers registers) {
    const std::uintptr_t start = registers.Eip() - 1;
    const LoadedImage* image = ImageAt(start);
    if (image == nullptr || RoutineAt(*image, RoutineKind::RestoreInterrupts, start) == nullptr) {
        return false;
    }
    const auto* stack = reinterpret_cast<const std::uint32_t*>(registers.Esp());
    RestoreInterrupts(stack[1]);
    registers.Eip() = stack[0];
    registers.Esp() += 4;
    return true;
}

[[noreturn]] void Fatal(int signal, Registers registers) {
    const std::uintptr_t eip = registers.Eip();
    const LoadedImage* image = ImageAt(eip);
    char line[200];
    const int length =
        image != nullptr
            ? std::snprintf(line, sizeof line,
                            "quelta-rtss-run: the image faulted (%s) at 0x%08X, offset 0x%X in "
                            "the image\n",
                            strsignal(signal), static_cast<unsigned>(eip),
                            static_cast<unsigned>(eip - image->Base()))
            : std::snprintf(line, sizeof line, "quelta-rtss-run: %s at 0x%08X, outside the image\n",
                            strsignal(signal), static_cast<unsigned>(eip));
    if (write(STDERR_FILENO, line, static_cast<std::size_t>(length)) < 0) {
        // Nothing more can be said.
    }
    // The signal's own end: a core and the exit status that a crash has.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(signal, &standard, nullptr);
    raise(signal);
    _exit(128 + signal);
}

void OnTrap(int signal, siginfo_t* /*info*/, void* context) {
    const int savedErrno = errno;
    const Registers registers{static_cast<ucontext_t*>(context)->uc_mcontext.gregs};
    const bool done = signal == SIGTRAP ? OnBreakpoint(registers) : OnFault(registers);
    if (!done) Fatal(signal, registers);
    errno = savedErrno;
}

}  // namespace

void InstallTraps() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnTrap;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        sigaction(SIGTRAP, &action, nullptr);
    });
}

bool RegisterImage(const LoadedImage* image) {
    for (auto& slot : images) {
        const LoadedImage* empty = nullptr;
        if (slot.compare_exchange_strong(empty, image)) return true;
    }
    return false;
}

void UnregisterImage(const LoadedImage* image) {
    for (auto& slot : images) {
        const LoadedImage* mine = image;
        slot.compare_exchange_strong(mine, nullptr);
    }
}

}  // namespace loader
