// Baud rate to 16-bit divisor of the board's UART clock (the channel divides by 16 and by it).
#pragma once

#include <cstdint>

constexpr std::uint16_t InvalidDivisor = 0xFFFF;  // the clock cannot produce the rate

std::uint16_t ComputeDivisor(std::uint32_t clockHz, std::int32_t baud);
