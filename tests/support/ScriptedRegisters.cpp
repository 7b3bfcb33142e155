#include "tests/support/ScriptedRegisters.h"

#include <cstdio>
#include <stdexcept>

#include "platform/host/HostPlatform.h"

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

volatile std::uint8_t* ScriptedRegisters::Address(RegOffset reg, std::uint32_t channel) const {
    return static_cast<volatile std::uint8_t*>(base_) + channel * ChannelWindowSize + reg;
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

void ScriptedRegisters::OnAccess(std::function<void(const Access&)> hook) {
    const std::lock_guard guard(lock_);
    hook_ = std::move(hook);
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
        if (access.kind == 'W') writes.push_back(access);
    }
    return writes;
}

std::uint32_t ScriptedRegisters::Reads(RegOffset reg, std::uint32_t channel) const {
    std::uint32_t reads = 0;
    for (const Access& access : Log()) {
        reads += access.kind == 'R' && access.offset == channel * ChannelWindowSize + reg ? 1 : 0;
    }
    return reads;
}

void ScriptedRegisters::Record(const Access& access) {
    std::function<void(const Access&)> hook;
    {
        const std::lock_guard guard(lock_);
        log_.push_back(access);
        hook = hook_;
    }
    if (hook) hook(access);
}

std::uint8_t ScriptedRegisters::Load(std::uint32_t offset) {
    std::uint8_t value = 0;
    {
        const std::lock_guard guard(lock_);
        auto script = scripts_.find(offset);
        if (script != scripts_.end() && !script->second.empty()) {
            value = script->second.front();
            script->second.pop_front();
        } else {
            const auto latch = latches_.find(offset);
            value = latch == latches_.end() ? 0 : latch->second;
        }
    }
    Record({'R', offset, value, host::InterruptsDisabledOnThisThread()});
    return value;
}

void ScriptedRegisters::Store(std::uint32_t offset, std::uint8_t value) {
    {
        const std::lock_guard guard(lock_);
        latches_[offset] = value;
    }
    Record({'W', offset, value, host::InterruptsDisabledOnThisThread()});
}

}  // namespace fake
