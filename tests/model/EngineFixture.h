// The port engine on the simulated board, as board set-up leaves it: the board mapped through
// the platform, PortTable filled with zeroed records whose regs are the channel windows,
// boardClockHz and isrContext set, every IER cleared, InterruptService attached.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/HostMachine.h"
#include "port/PortRecord.h"
#include "tests/support/TestPorts.h"

namespace modeltest {

constexpr std::string_view EightNullModem =
    "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n"
    "channel 0 null-modem 1\nchannel 2 null-modem 3\nchannel 4 null-modem 5\n"
    "channel 6 null-modem 7\n";

struct Line {
    std::int32_t baud = 115200;
    char parity = 'n';
    std::uint8_t dataBits = 8;
    std::uint8_t stopBits = 1;
    std::uint8_t flowControl = 0;
    std::uint32_t softwareFlow = 0;
    std::uint8_t lineMode = 0;
};

class EngineOnModel {
public:
    // Manual: time moves in Pump, interrupts are delivered there on the caller's thread.
    // Running: the description's pace and the interrupt service thread.
    enum class Mode { Manual, Running };

    EngineOnModel(std::string_view description, Mode mode, std::uint16_t subsystemId = 0x312);
    ~EngineOnModel();
    EngineOnModel(const EngineOnModel&) = delete;
    EngineOnModel& operator=(const EngineOnModel&) = delete;

    sim::Board& Board() { return host::CurrentMachine().GetBoard(0); }
    PortRecord& Port(std::uint8_t index) { return *PortTable[index]; }
    ChannelRegs* Window(std::uint32_t channel) const;

    // OpenPort then SetPortConfig; false when the configuration is refused.
    bool Open(std::uint8_t port, const Line& line);
    // WritePort until all of it is taken, pumping meanwhile.
    void WriteAll(std::uint8_t port, const std::string& bytes);
    std::string ReadAvailable(std::uint8_t port);
    // Manual mode: advance time by `duration` in steps, delivering interrupts after each.
    void Pump(sim::SimTime duration);
    // Pumps (or, running, waits) until the condition holds; false after `limit` of time.
    bool PumpUntil(const std::function<bool()>& condition, sim::SimTime limit);
    void SetStep(sim::SimTime step) { step_ = step; }

private:
    Mode mode_;
    volatile std::uint8_t* base_ = nullptr;
    fake::TestPorts ports_;
    sim::SimTime step_ = 0;
};

// The character time of 8N1 at a baud rate, in simulated picoseconds.
sim::SimTime CharTime(std::int32_t baud, double bits = 10);

}  // namespace modeltest
