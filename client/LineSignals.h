// What the driver reports about a line, decoded: the 16550 modem status (MSR), line status (LSR),
// the modem-control outputs (MCR AND 0x03) and the accumulated receive errors. Each record keeps
// the raw byte and the named flags; the flag tables give the names for printing.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "wire/StatusBytes.h"

namespace quelta {

// Reading MSR on the board clears the change flags: a client sees the changes since the last read
// by anyone, the driver's interrupt service included.
struct ModemStatus {
    std::uint8_t raw = 0;
    bool ctsChanged = false, dsrChanged = false, ringEnded = false, dcdChanged = false;
    bool cts = false, dsr = false, ring = false, dcd = false;
    static ModemStatus Decode(std::uint8_t raw);
};

// Reading LSR on the board clears its error bits; LineErrors below keeps them.
struct LineStatus {
    std::uint8_t raw = 0;
    bool dataReady = false, overrun = false, parityError = false, framingError = false;
    bool breakReceived = false, holdingEmpty = false, transmitterEmpty = false, fifoError = false;
    static LineStatus Decode(std::uint8_t raw);
};

struct ModemControl {
    std::uint8_t raw = 0;
    bool dtr = false, rts = false;
    static ModemControl Decode(std::uint8_t raw);
};

// The LSR error bits the driver has seen on the port since it started, ORed together; nothing
// clears them. Overrun also counts bytes dropped because the receive ring was full.
struct LineErrors {
    std::uint8_t raw = 0;
    bool overrun = false, parityError = false, framingError = false, breakReceived = false;
    bool fifoError = false;
    bool Any() const { return raw != 0; }
    static LineErrors Decode(std::uint8_t raw);
};

struct FlagName {
    std::uint8_t bit;
    const char* name;
};

std::span<const FlagName> ModemStatusFlags();
std::span<const FlagName> LineStatusFlags();
std::span<const FlagName> ModemControlFlags();
std::span<const FlagName> LineErrorFlags();

// The names of the bits set in raw, joined by ", "; "none" when no named bit is set.
std::string FlagList(std::uint8_t raw, std::span<const FlagName> flags);

}  // namespace quelta
