// The scripted register fake: a register region that records every access in order, with the
// interrupt state of the thread that made it, and answers reads from per-register scripts. Tests
// state the expected accesses as a table. A hook can act on each access, as a client rewriting
// its block while the request runs would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <vector>

#include "hw/Registers.h"
#include "platform/host/RegisterDevice.h"

namespace fake {

struct Access {
    char kind;             // 'R' or 'W'
    std::uint32_t offset;  // from the start of the mapping
    std::uint8_t value;
    bool disabled = false;  // interrupts were disabled on the accessing thread (not compared)
    bool operator==(const Access& other) const {
        return kind == other.kind && offset == other.offset && value == other.value;
    }
};

void PrintTo(const Access& access, std::ostream* out);

// An access to register `reg` of channel `channel`'s window.
inline Access R(RegOffset reg, std::uint8_t value, std::uint32_t channel = 0) {
    return {'R', channel * ChannelWindowSize + reg, value};
}
inline Access W(RegOffset reg, std::uint8_t value, std::uint32_t channel = 0) {
    return {'W', channel * ChannelWindowSize + reg, value};
}

class ScriptedRegisters final : public sim::RegisterDevice {
public:
    explicit ScriptedRegisters(std::uint32_t length = 8 * ChannelWindowSize);
    ~ScriptedRegisters() override;
    ScriptedRegisters(const ScriptedRegisters&) = delete;
    ScriptedRegisters& operator=(const ScriptedRegisters&) = delete;

    ChannelRegs* Window(std::uint32_t channel = 0) const;
    volatile std::uint8_t* Address(RegOffset reg, std::uint32_t channel = 0) const;

    // Reads of the register return these values in turn, then fall back to its latch.
    void Script(RegOffset reg, std::vector<std::uint8_t> values, std::uint32_t channel = 0);
    // The value reads return when no script is pending (writes also set it).
    void Set(RegOffset reg, std::uint8_t value, std::uint32_t channel = 0);
    std::uint8_t Latch(RegOffset reg, std::uint32_t channel = 0) const;
    // Called after every access, outside the fake's own lock.
    void OnAccess(std::function<void(const Access&)> hook);

    std::vector<Access> Log() const;
    void ClearLog();
    std::vector<Access> Writes() const;  // the log without its reads
    // How many reads of the register the log holds.
    std::uint32_t Reads(RegOffset reg, std::uint32_t channel = 0) const;

    std::uint8_t Load(std::uint32_t offset) override;
    void Store(std::uint32_t offset, std::uint8_t value) override;

private:
    void Record(const Access& access);
    mutable std::mutex lock_;
    void* base_;
    std::map<std::uint32_t, std::deque<std::uint8_t>> scripts_;
    std::map<std::uint32_t, std::uint8_t> latches_;
    std::vector<Access> log_;
    std::function<void(const Access&)> hook_;
};

}  // namespace fake
