// The simulated machine: the PCI buses with their functions, the Quelta boards, the far ends of
// their lines and the time that drives them. Built from a description; the host platform
// backend reaches it for configuration reads, address translation, mapping and interrupts. It
// knows nothing of that backend: what the host wants of its threads comes in MachineOptions.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/Board.h"
#include "sim/Clock.h"
#include "sim/Description.h"
#include "sim/PciConfig.h"
#include "sim/PtyLink.h"
#include "sim/Trace.h"

namespace sim {

struct MachineOptions {
    bool manualTime = false;  // no line thread: time moves only through Advance
    std::string tracePath;    // the register access trace, or empty
    // Configuration reads take the bus number's low 8 bits, as the configuration mechanism's
    // 8-bit bus field does: with all 256 buses present, bus 256 answers as bus 0.
    bool wrapBusNumbers = false;
};

class Machine {
public:
    // Throws std::runtime_error with a one-line reason when a pty or the trace cannot be made.
    explicit Machine(const Description& description, MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // PCI configuration read: 0 bytes on a missing bus, 2 bytes of 0xFF for an empty slot,
    // else the bytes of the function's configuration space. slot = device | function << 5.
    std::uint32_t ReadConfig(std::uint32_t bus, std::uint32_t slot, void* buffer,
                             std::uint32_t offset, std::uint32_t length) const;

    struct Region {
        Board* board;
        std::uint32_t offset;  // of the address within the board's BAR0 region
    };
    std::optional<Region> RegionAt(std::uint64_t address) const;

    // Is any function wired to this interrupt line (bus, Interrupt Line)?
    bool AnythingOnLine(std::uint32_t bus, std::uint32_t irq) const;
    std::vector<Board*> BoardsOnLine(std::uint32_t bus, std::uint32_t irq) const;

    std::size_t BoardCount() const { return boards_.size(); }
    Board& GetBoard(std::size_t index) { return *boards_[index]; }

    Clock& GetClock() { return clock_; }
    SimTime Now() const { return clock_.Now(); }
    // Manual time: moves time on and brings every board to it.
    void Advance(SimTime duration);
    // The pty slave of a channel wired to a pty, or empty.
    std::string PtySlave(std::size_t board, std::uint32_t channel) const;
    // Once the driver holds its devices: links every pty far end at its path and names each on
    // standard error (a far end without a path is found only there). Only the first call acts.
    void LinkPtys();
    void RemovePtyLinks();

private:
    struct PciFunction {
        FunctionDescription description;
        std::array<std::uint8_t, ConfigSpaceSize> config;
    };
    struct Pty {
        std::size_t board;
        std::uint32_t channel;
        std::unique_ptr<PtyLink> link;
    };

    void RunLines();
    void Wake();

    Clock clock_;
    std::vector<std::uint32_t> buses_;
    bool wrapBusNumbers_;
    std::vector<PciFunction> functions_;
    std::unique_ptr<Trace> trace_;
    std::vector<std::unique_ptr<Board>> boards_;
    std::vector<Pty> ptys_;
    std::once_flag ptysLinked_;

    std::mutex wakeLock_;
    std::condition_variable wakeUp_;
    std::uint64_t wakeSequence_ = 0;
    bool stopping_ = false;
    std::thread lineThread_;
};

struct LoadedMachine {
    std::unique_ptr<Machine> machine;
    std::string error;  // one line, when there is no machine
};

// The machine QUELTA_SIM names (the default machine when unset), with QUELTA_SIM_TRACE as its
// trace and the rest of `options` as given.
LoadedMachine LoadMachineFromEnvironment(MachineOptions options = {});
// The same from a description text; `origin` names it in errors ("FILE:LINE: what").
LoadedMachine LoadMachine(std::string_view text, const std::string& origin, MachineOptions options);

}  // namespace sim
