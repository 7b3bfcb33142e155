#include "sim/PinDecoder.h"

#include "sim/BoardRegisters.h"

namespace sim {
namespace {

// PinCtl8F and PinCtl91..93 around PinLevel at 0x90: index of the control register.
std::uint32_t ControlIndex(std::uint32_t offset) {
    return offset == reg::PinCtl8F ? 0 : offset - reg::PinCtl91 + 1;
}

std::uint8_t FieldOf(std::uint8_t value) {
    return static_cast<std::uint8_t>((value & reg::pin::FieldMask) >> reg::pin::FieldShift);
}

}  // namespace

void PinDecoder::WriteLevel(std::uint8_t value) {
    writes_.push_back(value);
    level_ = value;
    driveField_ = false;
    if ((value & reg::pin::Strobe) != 0) {
        Strobe(value);
    }
}

void PinDecoder::Strobe(std::uint8_t value) {
    if ((value & reg::pin::Pulse) != 0) {
        return;  // the interrupt-time pulse, not a protocol phase
    }
    const bool readPhase = (value & reg::pin::ReadPhase) != 0;
    switch (phase_) {
    case Phase::Unconfigured:
        phase_ = Phase::ExpectSelect;  // the idle levels of the set-up
        return;
    case Phase::ExpectSelect:
        pair_ = FieldOf(value);
        phase_ = Phase::ExpectRead;
        return;
    case Phase::ExpectRead:
        if (!readPhase) {
            ++protocolErrors_;
            phase_ = Phase::ExpectSelect;
            return;
        }
        driveField_ = true;
        phase_ = Phase::ExpectWrite;
        return;
    case Phase::ExpectWrite:
        if (readPhase) {
            ++protocolErrors_;
        } else if (pair_ < fields_.size() && 2 * pair_ < channelCount_) {
            fields_[pair_] = static_cast<std::uint8_t>(FieldOf(value) & 0x0F);
        }
        phase_ = Phase::ExpectSelect;
        return;
    }
}

std::uint8_t PinDecoder::ReadLevel() const {
    auto value = static_cast<std::uint8_t>(level_ & ~reg::pin::Strobe);
    if (driveField_) {
        const std::uint8_t field =
            pair_ < fields_.size() && 2 * pair_ < channelCount_ ? fields_[pair_] : 0;
        value = static_cast<std::uint8_t>((value & ~reg::pin::FieldMask) |
                                          (field << reg::pin::FieldShift));
    }
    return value;
}

void PinDecoder::WriteControl(std::uint32_t offset, std::uint8_t value) {
    const std::uint32_t index = ControlIndex(offset);
    control_[index] = value;
    controlWritten_[index] = true;
    if (offset == reg::PinCtl93) {
        phase_ = Phase::Unconfigured;
        driveField_ = false;
    }
}

std::uint8_t PinDecoder::Control(std::uint32_t offset) const {
    return control_[ControlIndex(offset)];
}

bool PinDecoder::ControlWritten(std::uint32_t offset) const {
    return controlWritten_[ControlIndex(offset)];
}

std::uint8_t PinDecoder::DriverMode(std::uint32_t channel) const {
    const std::uint32_t pair = channel / 2;
    if (pair >= fields_.size()) {
        return 0;
    }
    const unsigned shift = (channel % 2) * 2;
    return static_cast<std::uint8_t>((fields_[pair] >> shift) & 0x03);
}

}  // namespace sim
