// What the driver reports about a line, decoded: the 16550 modem status (MSR), line status (LSR),
// the modem-control outputs (MCR AND 0x03) and the accumulated receive errors. Each record keeps
// the raw byte and the named flags; the flag tables give the names for printing.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quelta {

namespace MsrBit {
constexpr std::uint8_t CtsChanged = 0x01;
constexpr std::uint8_t DsrChanged = 0x02;
constexpr std::uint8_t RingEnded = 0x04;  // trailing edge of RI
constexpr std::uint8_t DcdChanged = 0x08;
constexpr std::uint8_t Cts = 0x10;
constexpr std::uint8_t Dsr = 0x20;
constexpr std::uint8_t Ring = 0x40;
constexpr std::uint8_t Dcd = 0x80;
}  // namespace MsrBit

namespace LsrBit {
constexpr std::uint8_t DataReady = 0x01;
constexpr std::uint8_t Overrun = 0x02;
constexpr std::uint8_t ParityError = 0x04;
constexpr std::uint8_t FramingError = 0x08;
constexpr std::uint8_t BreakReceived = 0x10;
constexpr std::uint8_t HoldingEmpty = 0x20;      // transmit holding register (FIFO) empty
constexpr std::uint8_t TransmitterEmpty = 0x40;  // holding register and shift register empty
constexpr std::uint8_t FifoError = 0x80;         // an error byte is waiting in the receive FIFO
}  // namespace LsrBit

namespace McrBit {
constexpr std::uint8_t Dtr = 0x01;
constexpr std::uint8_t Rts = 0x02;
}  // namespace McrBit

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
