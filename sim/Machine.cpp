#include "sim/Machine.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::uint32_t EmptySlotBytes = 2;

BoardIdentity IdentityOf(const FunctionDescription& f, std::uint32_t index) {
    BoardIdentity identity;
    identity.index = index;
    identity.bus = f.bus;
    identity.device = f.device;
    identity.function = f.function;
    identity.vendor = f.vendor;
    identity.deviceId = f.deviceId;
    identity.subsystemVendor = f.subsystemVendor;
    identity.subsystemId = f.subsystemId;
    identity.irq = f.irq;
    identity.bar0 = f.bar0;
    identity.clockHz = f.clockHz;
    identity.eeprom = f.eeprom;
    return identity;
}

Clock::Mode ModeFor(const Description& description, const MachineOptions& options) {
    if (options.manualTime) {
        return Clock::Mode::Manual;
    }
    return description.pace == 0 ? Clock::Mode::Unpaced : Clock::Mode::Paced;
}

}  // namespace

Machine::Machine(const Description& description, MachineOptions options)
    : clock_(ModeFor(description, options), description.pace),
      buses_(description.buses),
      wrapBusNumbers_(options.wrapBusNumbers) {
    if (!options.tracePath.empty()) {
        trace_ = std::make_unique<Trace>(options.tracePath);
        if (!trace_->Ok()) {
            throw std::runtime_error("cannot write the trace " + options.tracePath + ": " +
                                     std::strerror(errno));
        }
    }
    for (const FunctionDescription& f : description.functions) {
        const bool multiFunction =
            std::count_if(description.functions.begin(), description.functions.end(),
                          [&](const FunctionDescription& other) {
                              return other.bus == f.bus && other.device == f.device;
                          }) > 1;
        functions_.push_back(PciFunction{f, ConfigSpaceOf(f, multiFunction)});
        if (!f.isBoard) {
            continue;
        }
        const auto index = static_cast<std::uint32_t>(boards_.size());
        auto board = std::make_unique<Board>(IdentityOf(f, index), clock_, trace_.get());
        board->SetWaker([this] { Wake(); });
        for (std::uint32_t channel = 0; channel < board->ChannelCount(); ++channel) {
            const LineDescription& line = f.lines[channel];
            board->Wire(channel, line.kind, line.peer, line.ptyPath);
        }
        boards_.push_back(std::move(board));
    }
    for (std::size_t b = 0; b < boards_.size(); ++b) {
        for (std::uint32_t channel = 0; channel < boards_[b]->ChannelCount(); ++channel) {
            if (boards_[b]->KindOf(channel) == LineKind::Pty) {
                ptys_.push_back(Pty{b, channel,
                                    std::make_unique<PtyLink>(*boards_[b], channel,
                                                              boards_[b]->PtyPathOf(channel))});
            }
        }
    }
    if (clock_.GetMode() != Clock::Mode::Manual) {
        lineThread_ = std::thread([this] { RunLines(); });
    }
}

Machine::~Machine() {
    {
        const std::lock_guard guard(wakeLock_);
        stopping_ = true;
    }
    wakeUp_.notify_all();
    if (lineThread_.joinable()) {
        lineThread_.join();
    }
    ptys_.clear();
}

void Machine::Wake() {
    {
        const std::lock_guard guard(wakeLock_);
        ++wakeSequence_;
    }
    wakeUp_.notify_one();
}

// The line thread. Paced: sleep until the earliest time any board needs looking at, or until
// an access brings that time forward; a board whose interrupt sink keeps its time is left to
// it. Unpaced: jump from event to event, and sleep only when nothing is on its way.
void Machine::RunLines() {
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake on time: a few microseconds late is a character lost
    const bool unpaced = clock_.GetMode() == Clock::Mode::Unpaced;
    std::unique_lock guard(wakeLock_);
    while (!stopping_) {
        const std::uint64_t seen = wakeSequence_;
        guard.unlock();
        SimTime earliest = Never;
        const SimTime now = clock_.Now();
        for (const auto& board : boards_) {
            if (!board->TimeKeptBySink()) {
                earliest = std::min(earliest, board->Advance(now));
            }
        }
        if (unpaced && earliest != Never) {
            clock_.MoveTo(earliest);
            guard.lock();
            continue;
        }
        guard.lock();
        const auto woken = [&] { return stopping_ || wakeSequence_ != seen; };
        if (earliest == Never) {
            wakeUp_.wait(guard, woken);
        } else {
            wakeUp_.wait_until(guard, clock_.WallTimeOf(earliest), woken);
        }
    }
}

void Machine::Advance(SimTime duration) {
    clock_.MoveTo(clock_.Now() + duration);
    for (const auto& board : boards_) {
        board->Advance(clock_.Now());
    }
}

std::uint32_t Machine::ReadConfig(std::uint32_t bus, std::uint32_t slot, void* buffer,
                                  std::uint32_t offset, std::uint32_t length) const {
    if (wrapBusNumbers_) {
        bus &= 0xFF;
    }
    if (!std::binary_search(buses_.begin(), buses_.end(), bus) || slot > 0xFF) {
        return 0;
    }
    const std::uint32_t device = slot & 0x1F;
    const std::uint32_t function = slot >> 5;
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (const PciFunction& f : functions_) {
        if (f.description.bus == bus && f.description.device == device &&
            f.description.function == function) {
            if (offset >= ConfigSpaceSize) {
                return 0;
            }
            const std::uint32_t count = std::min(length, ConfigSpaceSize - offset);
            std::memcpy(out, f.config.data() + offset, count);
            return count;
        }
    }
    // Nobody answers: the bus returns all ones, reported as the two bytes of a Vendor ID.
    std::memset(out, 0xFF, std::min(length, EmptySlotBytes));
    return EmptySlotBytes;
}

std::optional<Machine::Region> Machine::RegionAt(std::uint64_t address) const {
    for (const auto& board : boards_) {
        const std::uint64_t base = board->Identity().bar0;
        if (address >= base && address < base + board->RegionLength()) {
            return Region{board.get(), static_cast<std::uint32_t>(address - base)};
        }
    }
    return std::nullopt;
}

bool Machine::AnythingOnLine(std::uint32_t bus, std::uint32_t irq) const {
    return std::any_of(functions_.begin(), functions_.end(), [&](const PciFunction& f) {
        return f.description.hasIrq && f.description.bus == bus && f.description.irq == irq;
    });
}

std::vector<Board*> Machine::BoardsOnLine(std::uint32_t bus, std::uint32_t irq) const {
    std::vector<Board*> boards;
    for (const auto& board : boards_) {
        if (board->Identity().bus == bus && board->Identity().irq == irq) {
            boards.push_back(board.get());
        }
    }
    return boards;
}

std::string Machine::PtySlave(std::size_t board, std::uint32_t channel) const {
    for (const Pty& pty : ptys_) {
        if (pty.board == board && pty.channel == channel) {
            return pty.link->SlavePath();
        }
    }
    return {};
}

void Machine::LinkPtys() {
    std::call_once(ptysLinked_, [this] {
        for (const Pty& pty : ptys_) {
            std::string line = "simulated machine: pty far end of board " +
                               std::to_string(pty.board) + " channel " +
                               std::to_string(pty.channel) + ": " + pty.link->SlavePath();
            if (!pty.link->LinkPath().empty()) {
                line += pty.link->Link() ? " (linked from " + pty.link->LinkPath() + ")"
                                         : " (cannot link " + pty.link->LinkPath() + ": " +
                                               std::strerror(errno) + ")";
            }
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    });
}

void Machine::RemovePtyLinks() {
    for (Pty& pty : ptys_) {
        pty.link->RemoveLink();
    }
}

LoadedMachine LoadMachine(std::string_view text, const std::string& origin,
                          MachineOptions options) {
    const ParsedDescription parsed = ParseDescription(text);
    if (!parsed.description) {
        std::ostringstream error;
        error << origin << ":" << parsed.error.line << ": " << parsed.error.what;
        return LoadedMachine{nullptr, error.str()};
    }
    try {
        return LoadedMachine{std::make_unique<Machine>(*parsed.description, std::move(options)),
                             {}};
    } catch (const std::exception& failure) {
        return LoadedMachine{nullptr, origin + ": " + failure.what()};
    }
}

LoadedMachine LoadMachineFromEnvironment(MachineOptions options) {
    if (const char* trace = std::getenv("QUELTA_SIM_TRACE"); trace != nullptr && *trace != '\0') {
        options.tracePath = trace;
    }
    const char* path = std::getenv("QUELTA_SIM");
    if (path == nullptr || *path == '\0') {
        return LoadMachine(DefaultDescriptionText(), "default machine", std::move(options));
    }
    std::ifstream file(path);
    if (!file) {
        return LoadedMachine{
            nullptr,
            std::string(path) + ": cannot read the machine description: " + std::strerror(errno)};
    }
    std::ostringstream text;
    text << file.rdbuf();
    return LoadMachine(text.str(), path, std::move(options));
}

}  // namespace sim
