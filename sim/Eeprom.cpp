#include "sim/Eeprom.h"

namespace sim {
namespace {

constexpr std::uint32_t OpcodeBits = 2;
constexpr std::uint32_t AddressBits = 6;
constexpr std::uint32_t OpRead = 0b10;
constexpr std::uint32_t OpExtended = 0b00;  // the address's top bits select EWDS/EWEN/ERAL/WRAL
constexpr std::uint32_t ExtWriteDisable = 0b00;
constexpr std::uint32_t ExtWriteEnable = 0b11;

}  // namespace

void Eeprom::Drive(bool select, bool clock, bool dataIn) {
    if (!select) {
        // Deselecting ends any command; the output floats (reads as the pull-up).
        selected_ = false;
        phase_ = Phase::Idle;
        dataOut_ = true;
        clock_ = clock;
        return;
    }
    if (!selected_) {
        selected_ = true;
        phase_ = Phase::Idle;
        commandBits_ = 0;
        command_ = 0;
    }
    const bool risingEdge = clock && !clock_;
    clock_ = clock;
    if (risingEdge) {
        ClockIn(dataIn);
    }
}

void Eeprom::ClockIn(bool bit) {
    switch (phase_) {
    case Phase::Idle:
        // Leading zeros are ignored; the first one clocked in while selected is the start bit.
        if (bit) {
            phase_ = Phase::Command;
        }
        return;
    case Phase::Command:
        command_ = (command_ << 1) | (bit ? 1u : 0u);
        if (++commandBits_ == OpcodeBits + AddressBits) {
            Decode();
        }
        return;
    case Phase::Reading:
        // Each rising edge puts the next bit on data out, D15 first; after D0 the next word
        // follows without a dummy bit (sequential read).
        if (++outBit_ == 16) {
            outBit_ = 0;
            address_ = (address_ + 1) % WordCount;
        }
        dataOut_ = ((words_[address_] >> (15 - outBit_)) & 1) != 0;
        return;
    case Phase::Ignoring:
        return;
    }
}

void Eeprom::Decode() {
    const std::uint32_t opcode = command_ >> AddressBits;
    const std::uint32_t address = command_ & (WordCount - 1);
    if (opcode == OpRead) {
        ++readCommands_;
        address_ = address;
        outBit_ = -1;
        dataOut_ = false;  // the dummy zero that precedes the data
        phase_ = Phase::Reading;
        return;
    }
    if (opcode == OpExtended && (address >> 4) == ExtWriteDisable) {
        writeEnabled_ = false;
    } else if (opcode == OpExtended && (address >> 4) == ExtWriteEnable) {
        writeEnabled_ = true;
    } else {
        // WRITE, ERASE, ERAL, WRAL: counted, and not carried out. The contents come from the
        // machine description; this system never programs the EEPROM, so a command that would
        // change it is a fault a test should see, not a change to keep.
        ++modifyingCommands_;
    }
    phase_ = Phase::Ignoring;
}

bool Eeprom::DataOut() const {
    switch (fault_) {
    case DataFault::StuckAtOne:
        return true;
    case DataFault::StuckAtZero:
        return false;
    case DataFault::None:
        break;
    }
    return dataOut_;
}

}  // namespace sim
