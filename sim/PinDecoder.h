// The board logic behind the multi-purpose pins: it takes a channel pair's 4-bit line-driver
// field in a select / read / write transaction on PinLevel and holds each channel's 2-bit
// driver mode.
//
// PinLevel bit 1 is a strobe: writing it with the bit set latches the phase carried by the
// other bits, and the bit reads back 0 (the pulse ends by itself). Without that the protocol,
// which builds every write from a read-back, would hold the strobe high for good and no phase
// could be told from the next. Bits 3-6 carry the pair number (select) or the mode field
// (read, write); bit 0 is set for the read phase. The phases come in order: select, read,
// write. Writing PinCtl93 (the last control register of the pin set-up) resets the logic, and
// the first strobe after it sets the idle levels. Strobes with bit 7 set are the interrupt-time
// pulse of 0x353 boards (0xFF, 0xFE): the protocol never sets that bit, so the logic ignores them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

class PinDecoder {
public:
    explicit PinDecoder(std::uint32_t channelCount) : channelCount_(channelCount) {}

    void WriteLevel(std::uint8_t value);
    std::uint8_t ReadLevel() const;
    void WriteControl(std::uint32_t offset, std::uint8_t value);

    std::uint8_t DriverMode(std::uint32_t channel) const;
    std::uint8_t Control(std::uint32_t offset) const;  // last value written to PinCtl8F..93
    bool ControlWritten(std::uint32_t offset) const;
    const std::vector<std::uint8_t>& LevelWrites() const { return writes_; }
    void ClearLevelWrites() { writes_.clear(); }
    std::uint8_t LevelDriven() const { return level_; }  // the last value written, strobe included
    // Strobes that came out of the select-read-write order.
    std::uint32_t ProtocolErrors() const { return protocolErrors_; }

private:
    enum class Phase : std::uint8_t { Unconfigured, ExpectSelect, ExpectRead, ExpectWrite };

    void Strobe(std::uint8_t value);

    std::uint32_t channelCount_;
    std::uint8_t level_ = 0;
    bool driveField_ = false;  // after a read strobe the board drives the field on bits 3-6
    Phase phase_ = Phase::Unconfigured;
    std::uint32_t pair_ = 0;
    std::array<std::uint8_t, 4> fields_{};  // pair k: even channel in bits 0-1, odd in 2-3
    std::array<std::uint8_t, 5> control_{};
    std::array<bool, 5> controlWritten_{};
    std::vector<std::uint8_t> writes_;
    std::uint32_t protocolErrors_ = 0;
};

}  // namespace sim
