#include <gtest/gtest.h>

#include <cstdint>

#include "hw/Divisor.h"

namespace {

struct DivisorCase {
    std::uint32_t clockHz;
    std::int32_t baud;
    std::uint16_t divisor;
    const char* why;
};

// clang-format off
constexpr DivisorCase Cases[] = {
    {10'000'000, 9'600, 65, "remainder below half, within 2 %"},
    {10'000'000, 1'200, 521, "rounded up; no tolerance below 9600"},
    {10'000'000, 110, 5'681, "110 baud is never rounded up"},
    {1'000'000, 1'000, 62, "an exact half stays down"},
    {20'000'000, 115'200, 11, "rounded up, distance below 2 % of the clock"},
    {10'000'000, 115'200, InvalidDivisor, "distance 784,000 >= 200,000"},
    {20'000'000, 230'400, InvalidDivisor, "not rounded; 1,568,000 >= 400,000"},
    {10'000'000, 612'500, InvalidDivisor, "distance equals clock / 50"},
    {10'000'000, 612'501, 1, "distance against the clock, not the rate (2.04 % fast)"},
    {10'000'000, 625'000, 1, "exact"},
    {10'000'000, 700'000, InvalidDivisor, "16 x baud above the clock"},
    {20'000'000, 30, 41'667, "returned; SetPortConfig refuses it"},
    {14'745'600, 0, InvalidDivisor, "baud 0"},
    {16, 1, 1, "the slowest rate is a rate"},
    {14'745'600, INT32_MIN, InvalidDivisor, "most negative baud"},
    {0, 9'600, InvalidDivisor, "clock 0 (EEPROM not read yet)"},
    {0x80000000u, 9'600, InvalidDivisor, "clock with the top bit: signed, below every rate"},
    {14'745'600, 134'217'728, InvalidDivisor, "16 x 2^27 overflows"},
    {14'745'600, 921'600, 1, "the board clock's fastest rate"},
    {215'040, 9'599, 1, "below 9600 no tolerance applies"},
    {215'040, 9'600, InvalidDivisor, "from 9600 up the 2 % rule refuses 40 % off"},
    // A quotient past 16 bits would be cut to its low bits, a wrapped 16 x baud could pass the
    // later tests on a huge clock: both would give a rate nowhere near the request.
    {104'857'600, 100, InvalidDivisor, "quotient exactly 65,536 (low bits 0)"},
    {1'600 * 65'535 + 801, 100, InvalidDivisor, "65,535 rounded up to 65,536"},
    {1'600 * 65'535 + 800, 100, 65'535, "65,535 at an exact half stays and fits"},
    {1'760 * 70'000, 110, InvalidDivisor, "110 baud, quotient 70,000"},
    {0x7FFFFFFF, (1 << 28) + (1 << 26), InvalidDivisor, "16 x baud wraps to 2^30"},
};
// clang-format on

TEST(Divisor, RoundingToleranceAndRefusals) {
    for (const DivisorCase& c : Cases) {
        EXPECT_EQ(ComputeDivisor(c.clockHz, c.baud), c.divisor)
            << c.clockHz << " Hz, " << c.baud << " baud: " << c.why;
    }
}

// Back from a divisor to the rate it makes, rounded down, as the configuration report gives it.
TEST(Divisor, RateOfADivisor) {
    struct Case {
        std::uint32_t clockHz;
        std::uint16_t divisor;
        std::uint32_t rate;
    };
    constexpr Case cases[] = {{14'745'600, 96, 9'600},
                              {10'000'000, 65, 9'615},
                              {14'745'600, 0xFFFF, 14},
                              {0xFFFFFFFF, 1, 0x0FFFFFFF},
                              {14'745'600, 0, 0}};  // never loaded: no rate
    for (const Case& c : cases) {
        EXPECT_EQ(RateOfDivisor(c.clockHz, c.divisor), c.rate) << c.clockHz << " / " << c.divisor;
    }
}

}  // namespace
