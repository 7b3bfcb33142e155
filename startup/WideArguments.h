// The target's runtime start-up hands over a vector of 16-bit arguments; the driver reads bytes.
#pragma once

#include <cstdint>

// Narrows each 16-bit argument in place: the low byte of each unit, up to and including the first
// unit whose low byte is 0.
void NarrowArguments(std::int32_t argc, char16_t** argv);

// The wide entry of the target's runtime start-up: narrows, then runs the main routine.
std::int32_t WideEntry(std::int32_t argc, char16_t** argv);
