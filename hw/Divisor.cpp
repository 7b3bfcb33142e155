#include "hw/Divisor.h"

namespace {

constexpr std::uint32_t Oversampling = 16;        // the channel samples each bit 16 times
constexpr std::int32_t LargestBaud = 0x7FFFFFF;   // 16 x this still fits a signed 32-bit word
constexpr std::int32_t UnroundedBaud = 110;       // its divisor is never rounded up
constexpr std::int32_t ToleranceFromBaud = 9600;  // the 2 % rule applies from here up
constexpr std::uint32_t ToleranceFraction = 50;   // 2 % of the clock
constexpr std::uint32_t SmallestDivisor = 1;
constexpr std::uint32_t LargestDivisor = 0xFFFF;  // DLL and DLM hold 16 bits

// Comparisons are made on signed 32-bit values, so that a clock of 0x80000000 Hz or more (a
// clock word pair read as all ones) is below every rate and refuses it.
constexpr std::int32_t Signed(std::uint32_t value) { return static_cast<std::int32_t>(value); }

}  // namespace

std::uint16_t ComputeDivisor(std::uint32_t clockHz, std::int32_t baud) {
    // 16 x baud must not wrap: a wrapped product can pass every later test with a huge clock and
    // give a divisor for a rate nowhere near the one asked for.
    if (baud <= 0 || baud > LargestBaud) {
        return InvalidDivisor;
    }
    const std::uint32_t cycles = Oversampling * static_cast<std::uint32_t>(baud);
    std::uint32_t divisor = clockHz / cycles;
    std::uint32_t remainder = clockHz % cycles;
    if (divisor == 0) {
        divisor = SmallestDivisor;
    }
    // Round to the nearest divisor; an exact half stays down. From here on the remainder is the
    // distance, in clock cycles, between the clock and 16 x baud x divisor.
    if (Signed(2 * remainder) > Signed(cycles) && baud != UnroundedBaud) {
        ++divisor;
        remainder = cycles - remainder;
    }
    if (baud >= ToleranceFromBaud && Signed(remainder) >= Signed(clockHz / ToleranceFraction)) {
        return InvalidDivisor;
    }
    if (Signed(cycles) > Signed(clockHz)) {
        return InvalidDivisor;  // above clock / 16
    }
    // A quotient past 16 bits would be cut to its low bits, a wildly faster rate or a divisor of 0.
    if (divisor > LargestDivisor) {
        return InvalidDivisor;
    }
    return static_cast<std::uint16_t>(divisor);
}

std::uint32_t RateOfDivisor(std::uint32_t clockHz, std::uint16_t divisor) {
    return divisor == 0 ? 0 : clockHz / (Oversampling * divisor);
}
