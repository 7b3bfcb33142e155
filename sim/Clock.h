// The machine's time. Paced: simulated time runs at `pace` times the wall clock, so a line at
// 115200 baud carries 11520 characters per wall second at pace 1. Unpaced: time jumps from one
// event to the next as fast as the line thread gets there. Manual: time moves only when a test
// says so, which makes every result repeatable.
#pragma once

#include <atomic>
#include <chrono>

#include "sim/SimTime.h"

namespace sim {

class Clock {
public:
    enum class Mode { Paced, Unpaced, Manual };

    Clock(Mode mode, double pace);

    Mode GetMode() const { return mode_; }
    double Pace() const { return pace_; }
    SimTime Now() const;
    // Unpaced and manual time: move to t (never backwards).
    void MoveTo(SimTime t);
    // Paced time: the wall-clock instant at which simulated time reaches t.
    std::chrono::steady_clock::time_point WallTimeOf(SimTime t) const;

private:
    Mode mode_;
    double pace_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<SimTime> now_{0};
};

}  // namespace sim
