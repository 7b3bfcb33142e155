#include "sim/Clock.h"

#include <cmath>

namespace sim {

Clock::Clock(Mode mode, double pace)
    : mode_(mode), pace_(pace), start_(std::chrono::steady_clock::now()) {}

SimTime Clock::Now() const {
    if (mode_ != Mode::Paced) {
        return now_.load(std::memory_order_acquire);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    return static_cast<SimTime>(static_cast<double>(ns) * 1000.0 * pace_);
}

void Clock::MoveTo(SimTime t) {
    SimTime now = now_.load(std::memory_order_relaxed);
    while (t > now && !now_.compare_exchange_weak(now, t, std::memory_order_acq_rel)) {}
}

std::chrono::steady_clock::time_point Clock::WallTimeOf(SimTime t) const {
    if (t == Never) {
        return std::chrono::steady_clock::time_point::max();
    }
    const double ns = static_cast<double>(t) / (1000.0 * pace_);
    return start_ + std::chrono::nanoseconds(std::llround(ns));
}

}  // namespace sim
