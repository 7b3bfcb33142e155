// The driver's main routine, on the main thread: the option scan, the hand-over to board
// discovery, then the parked main thread.
#pragma once

#include <cstdint>

// Scans the options, discovers and sets up the board, then parks. Returns only when the scan
// stopped the start (-h, a rejected -S value), with 0.
std::int32_t QueltaMain(std::int32_t argc, char** argv);
