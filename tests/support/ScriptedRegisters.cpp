#include "tests/support/ScriptedRegisters.h"

#include <cstdio>
#include <stdexcept>

namespace fake {

void PrintTo(const Access& access, std::ostream* out) {
    char text[48];
    std::snprintf(text, sizeof text, "%c ch%u+0x%03X = 0x%02X", access.kind,
                  access.offset / ChannelWindowSize, access.offset % ChannelWindowSize,
                  access.value);
    *out << text;
}

ScriptedRegisters::ScriptedRegisters(std::uint32_t length)
    : base_(host::MapRegisterDevice(this, length)) {
    if (base_ == nullptr) {
        throw std::runtime_error("no register slot left for the fake");
    }
}

ScriptedRegisters::~ScriptedRegisters() { host::UnmapRegisterDevice(base_); }

ChannelRegs* ScriptedRegisters::Window(std::uint32_t channel) const {
    return reinterpret_cast<ChannelRegs*>(static_cast<std::uint8_t*>(base_) +
                                          channel * ChannelWindowSize);
}

void ScriptedRegisters::Script(RegOffset reg, std::vector<std::uint8_t> values,
                               std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    auto& script = scripts_[channel * ChannelWindowSize + reg];
    script.insert(script.end(), values.begin(), values.end());
}

void ScriptedRegisters::Set(RegOffset reg, std::uint8_t value, std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    latches_[channel * ChannelWindowSize + reg] = value;
}

std::uint8_t ScriptedRegisters::Latch(RegOffset reg, std::uint32_t channel) const {
    const std::lock_guard guard(lock_);
    const auto it = latches_.find(channel * ChannelWindowSize + reg);
    return it == latches_.end() ? 0 : it->second;
}

std::vector<Access> ScriptedRegisters::Log() const {
    const std::lock_guard guard(lock_);
    return log_;
}

void ScriptedRegisters::ClearLog() {
    const std::lock_guard guard(lock_);
    log_.clear();
}

std::vector<Access> ScriptedRegisters::Writes() const {
    std::vector<Access> writes;
    for (const Access& access : Log()) {
        if (access.kind == 'W') {
            writes.push_back(access);
        }
    }
    return writes;
}

std::uint8_t ScriptedRegisters::Load(std::uint32_t offset) {
    const std::lock_guard guard(lock_);
    std::uint8_t value = 0;
    auto script = scripts_.find(offset);
    if (script != scripts_.end() && !script->second.empty()) {
        value = script->second.front();
        script->second.pop_front();
    } else {
        const auto latch = latches_.find(offset);
        value = latch == latches_.end() ? 0 : latch->second;
    }
    log_.push_back({'R', offset, value});
    return value;
}

void ScriptedRegisters::Store(std::uint32_t offset, std::uint8_t value) {
    const std::lock_guard guard(lock_);
    latches_[offset] = value;
    log_.push_back({'W', offset, value});
}

}  // namespace fake
