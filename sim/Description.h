// The machine description of QUELTA_SIM, one statement a line:
//
//     buses 2                      (buses 0 and 1)   or   buses 0,2,3   (exactly those)
//     function bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237 [subsystem-vendor=]
//              [subsystem=] [irq=]
//     board bus=1 device=4 function=0 device-id=0x0154 subsystem=0x321 irq=11 clock=14745600
//           [subsystem-vendor=0x12C4] [vendor=0x13A8] [eeprom=w0,w1,...] [bar0=]
//     channel 0 null-modem 1 | channel 2 pty [PATH] | channel 3 loopback | channel 4 open
//     pace 1.0                     (0: unpaced)
//
// `#` starts a comment; numbers are decimal or 0x hex. Without `buses`, every bus from 0 to the
// highest one a function sits on exists. `channel` lines apply to the board above them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Board.h"

namespace sim {

struct LineDescription {
    LineKind kind = LineKind::Open;
    std::uint32_t peer = 0;
    std::string ptyPath;
};

struct FunctionDescription {
    bool isBoard = false;
    std::uint32_t line = 0;  // where the description states it
    std::uint32_t bus = 0;
    std::uint32_t device = 0;
    std::uint32_t function = 0;
    std::uint16_t vendor = 0;
    std::uint16_t deviceId = 0;
    std::uint16_t subsystemVendor = 0;
    std::uint16_t subsystemId = 0;
    std::uint8_t irq = 0xFF;  // 0xFF: not connected (functions without irq=)
    bool hasIrq = false;
    // Boards only.
    std::uint32_t bar0 = 0;
    std::uint32_t clockHz = 0;
    std::array<std::uint16_t, Eeprom::WordCount> eeprom{};
    std::array<LineDescription, MaxChannels> lines{};
};

struct Description {
    std::vector<std::uint32_t> buses;  // ascending
    std::vector<FunctionDescription> functions;
    double pace = 1.0;
};

struct DescriptionError {
    std::uint32_t line = 0;
    std::string what;
};

struct ParsedDescription {
    std::optional<Description> description;
    DescriptionError error;  // when there is no description
};

ParsedDescription ParseDescription(std::string_view text);

// The default machine's Quelta board, one statement with nothing wired: 8 channels at bus 0
// device 3 on Interrupt Line 5. Tests and benchmarks wire its channels their own way below it.
constexpr std::string_view DefaultBoardStatement =
    "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n";

// The machine used when QUELTA_SIM is unset, in the same syntax: one PCI bus, a host bridge of
// another vendor and the board above with its channels in null-modem pairs 0-1, 2-3, 4-5, 6-7,
// at the given pace (real time for the default machine itself; tests may want it unpaced).
std::string DefaultDescriptionText(std::string_view pace = "1.0");

}  // namespace sim
