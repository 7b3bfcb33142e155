// Sim tests: a machine with one 8-channel board at 14.7456 MHz, its registers reached by channel
// and offset as the board decodes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "sim/BoardRegisters.h"
#include "sim/Machine.h"

namespace simtest {

using namespace sim::reg;

constexpr std::uint32_t Open = 5;  // wired open in BoardTest: the test is its far end
constexpr std::uint8_t Lcr8N1 = 0x03;
// 8N1 at 115200 (divisor 8): ten bits of 16 x 8 clock periods.
constexpr sim::SimTime CharTime8N1 = 10 * 8 * 16 * sim::PicosecondsPerSecond / 14745600;

class TestBoard {
public:
    // Manual time, or the machine's line thread at the pace the channel lines give.
    TestBoard(std::string_view channels, bool manualTime) {
        sim::MachineOptions options;
        options.manualTime = manualTime;
        sim::LoadedMachine loaded = sim::LoadMachine(
            std::string(sim::DefaultBoardStatement) + std::string(channels), "test", options);
        EXPECT_TRUE(loaded.machine) << loaded.error;
        machine_ = std::move(loaded.machine);
    }

    sim::Machine& Machine() { return *machine_; }
    sim::Board& Board() { return machine_->GetBoard(0); }
    std::uint8_t Read(std::uint32_t channel, std::uint32_t reg) {
        return Board().Load(channel * WindowSize + reg);
    }
    void Write(std::uint32_t channel, std::uint32_t reg, std::uint8_t value) {
        Board().Store(channel * WindowSize + reg, value);
    }
    // FIFOs on and reset, triggers programmed (transmit 56), divisor and word format loaded
    // through the divisor latch, interrupt enables written: a channel as an opened port has it.
    void Configure(std::uint32_t channel, std::uint16_t divisor = 8, std::uint8_t lcr = Lcr8N1,
                   std::uint8_t ier = ier::Standard, std::uint8_t rxTrigger = 56) {
        // clang-format off
        const std::pair<std::uint32_t, int> writes[] = {
            {Iir, fcr::Enable | fcr::ResetRx | fcr::ResetTx},
            {FifoTrigCtl, fifotrig::ProgrammedLevels}, {TxLevel, 56}, {RxLevel, rxTrigger},
            {Lcr, lcr | lcr::Dlab}, {Rhr, divisor & 0xFF}, {Ier, divisor >> 8}, {Lcr, lcr},
            {Ier, ier}};
        // clang-format on
        for (const auto& [reg, value] : writes) {
            Write(channel, reg, static_cast<std::uint8_t>(value));
        }
    }
    void Send(std::uint32_t channel, std::string_view bytes) {  // through the burst window
        for (std::uint32_t i = 0; i < bytes.size(); ++i) {
            Write(channel, FifoWindowStart + i % 64, static_cast<std::uint8_t>(bytes[i]));
        }
    }
    std::string Drain(std::uint32_t channel) {  // as many bytes as RxLevel counts
        std::string bytes(Read(channel, RxLevel), '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(Read(channel, FifoWindowStart));
        }
        return bytes;
    }
    void RunChars(double chars, double charTime = static_cast<double>(CharTime8N1)) {
        machine_->Advance(static_cast<sim::SimTime>(chars * charTime));
    }
    // The interrupt identification as it stands, without the side effect of an IIR read.
    std::uint8_t Pending(std::uint32_t channel) { return Board().Peek(channel).iir & 0x3F; }

private:
    std::unique_ptr<sim::Machine> machine_;
};

// A null-modem pair, a loopback and an open line, in manual time.
class BoardTest : public ::testing::Test, public TestBoard {
protected:
    BoardTest() : TestBoard("channel 0 null-modem 1\nchannel 4 loopback\nchannel 5 open\n", true) {}
};

}  // namespace simtest
