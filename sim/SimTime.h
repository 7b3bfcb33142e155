// Simulated time: picoseconds since the machine started. Integer, so that every channel computes
// the same instants, and fine enough that the character times of the fastest rates round to well
// under a part in a million.
#pragma once

#include <cstdint>
#include <limits>

namespace sim {

using SimTime = std::int64_t;

constexpr SimTime Never = std::numeric_limits<SimTime>::max();
constexpr SimTime PicosecondsPerSecond = 1'000'000'000'000;
constexpr SimTime Microsecond = 1'000'000;
constexpr SimTime Millisecond = 1'000'000'000;

}  // namespace sim
