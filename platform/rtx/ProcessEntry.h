// How the platform's loader enters the driver's image, and the start routine it runs.
#pragma once

#include <cstdint>

#include "platform/Rtss.h"

// The loader's two 32-bit arguments belong to the platform; the driver only passes them on.
// 0xC0000145 when the platform cannot prepare the process; otherwise what the platform's attach
// returns, or -1 when the start routine ran here and came back.
extern "C" std::uint32_t RTAPI RtssProcessEntry(std::uint32_t first, std::uint32_t second);

// Runs the C runtime's start-up (the wide argument vector) into the wide entry and ends the process
// with its result; -1 should it ever come back.
std::int32_t RTFCNDCL ProcessStart();
