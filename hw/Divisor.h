// Baud rate to 16-bit divisor of the board's UART clock (the channel divides by 16 and by it),
// and back.
#pragma once

#include <cstdint>

constexpr std::uint16_t InvalidDivisor = 0xFFFF;  // the clock cannot produce the rate

std::uint16_t ComputeDivisor(std::uint32_t clockHz, std::int32_t baud);

// The rate a loaded divisor really makes, rounded down. 0 for a divisor of 0: none is ever loaded,
// and on the channel it would stand for 65536.
std::uint32_t RateOfDivisor(std::uint32_t clockHz, std::uint16_t divisor);
