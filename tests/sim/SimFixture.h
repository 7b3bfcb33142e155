// Model tests: a machine in manual time, built from a description, with its first board's
// registers reached by channel and offset as the board decodes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "sim/BoardRegisters.h"
#include "sim/Machine.h"

namespace simtest {

// Two null-modem pairs, a loopback and an open line, at 14.7456 MHz.
constexpr std::string_view FourLines =
    "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n"
    "channel 0 null-modem 1\n"
    "channel 2 null-modem 3\n"
    "channel 4 loopback\n"
    "channel 5 open\n";

constexpr std::uint16_t Divisor115200 = 8;  // 14745600 / (16 x 115200)
constexpr std::uint8_t Lcr8N1 = 0x03;
// 8N1 at 115200: ten bits of 16 x 8 clock periods.
constexpr sim::SimTime CharTime8N1 = 10 * 8 * 16 * sim::PicosecondsPerSecond / 14745600;

std::unique_ptr<sim::Machine> ManualMachine(std::string_view description);

class BoardTest : public ::testing::Test {
protected:
    explicit BoardTest(std::string_view description = FourLines);

    sim::Board& Board() { return machine_->GetBoard(0); }
    sim::Machine& Machine() { return *machine_; }

    std::uint8_t Read(std::uint32_t channel, std::uint32_t reg);
    void Write(std::uint32_t channel, std::uint32_t reg, std::uint8_t value);
    void Run(sim::SimTime duration) { machine_->Advance(duration); }
    void RunChars(double characters);

    // FIFOs on and reset, triggers programmed, the divisor and the word format loaded, all
    // interrupt sources enabled: a channel as an opened and configured port leaves it.
    void Configure(std::uint32_t channel, std::uint16_t divisor = Divisor115200,
                   std::uint8_t lcr = Lcr8N1, std::uint8_t txTrigger = 56,
                   std::uint8_t rxTrigger = 56, std::uint8_t ier = sim::reg::ier::Standard);
    void LoadDivisor(std::uint32_t channel, std::uint16_t divisor);
    void Send(std::uint32_t channel, std::string_view bytes);
    std::string Drain(std::uint32_t channel);  // reads the receive FIFO empty through the window

private:
    std::unique_ptr<sim::Machine> machine_;
};

}  // namespace simtest
