// The model tests' hold on an EngineBoard: set-up checked, and time pumped with interrupts
// delivered (manual mode) or waited for (running mode).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "tests/model/EngineBoard.h"

namespace modeltest {

constexpr std::string_view EightNullModem =
    "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n"
    "channel 0 null-modem 1\nchannel 2 null-modem 3\nchannel 4 null-modem 5\n"
    "channel 6 null-modem 7\n";

class EngineOnModel : public EngineBoard {
public:
    EngineOnModel(std::string_view description, Mode mode, bool lineDrivers = false);

    // WritePort until all of it is taken, pumping meanwhile.
    void WriteAll(std::uint8_t port, const std::string& bytes);
    // Manual mode: advance time by `duration` in steps, delivering interrupts after each.
    void Pump(sim::SimTime duration);
    // Pumps (or, running, waits) until the condition holds; false after `limit` of simulated
    // time (manual mode) or a generous guard of wall time (running mode).
    bool PumpUntil(const std::function<bool()>& condition, sim::SimTime limit);
    void SetStep(sim::SimTime step) { step_ = step; }

private:
    Mode mode_;
    sim::SimTime step_ = CharTime(115200) / 4;
};

}  // namespace modeltest
