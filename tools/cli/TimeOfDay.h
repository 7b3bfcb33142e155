// Time stamps of watch and recv --timestamps: the local time of day to the millisecond.
#pragma once

#include <chrono>
#include <string>

namespace tool {

// "12:34:56.789"
std::string TimeOfDay(
    std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

}  // namespace tool
