// The board's serial configuration EEPROM: 64 words of 16 bits behind four lines of EepromCtl
// (chip select, clock, data in, data out), answering the Microwire command set of the 93C46 in
// 16-bit organisation. It acts on clock edges alone; nothing is timed.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

class Eeprom {
public:
    static constexpr std::uint32_t WordCount = 64;

    enum class DataFault : std::uint8_t { None, StuckAtOne, StuckAtZero };

    explicit Eeprom(const std::array<std::uint16_t, WordCount>& words) : words_(words) {}

    // The lines as the board drives them from an EepromCtl write.
    void Drive(bool select, bool clock, bool dataIn);
    // The data-out line (pulled up while the chip does not drive it).
    bool DataOut() const;

    void SetDataFault(DataFault fault) { fault_ = fault; }
    std::uint16_t Word(std::uint32_t address) const { return words_[address % WordCount]; }
    bool WriteEnabled() const { return writeEnabled_; }
    // Commands the board received that a read-only user never sends (write, erase, ...).
    std::uint32_t ModifyingCommands() const { return modifyingCommands_; }
    std::uint32_t ReadCommands() const { return readCommands_; }

private:
    enum class Phase : std::uint8_t { Idle, Command, Reading, Ignoring };

    void ClockIn(bool bit);
    void Decode();

    std::array<std::uint16_t, WordCount> words_;
    DataFault fault_ = DataFault::None;
    bool selected_ = false;
    bool clock_ = false;
    Phase phase_ = Phase::Idle;
    std::uint32_t command_ = 0;  // bits after the start bit: 2 opcode + 6 address
    std::uint32_t commandBits_ = 0;
    std::uint32_t address_ = 0;
    int outBit_ = -1;  // -1: the dummy zero before D15
    bool dataOut_ = true;
    bool writeEnabled_ = false;
    std::uint32_t modifyingCommands_ = 0;
    std::uint32_t readCommands_ = 0;
};

}  // namespace sim
