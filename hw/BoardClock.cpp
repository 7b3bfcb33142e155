#include "hw/BoardClock.h"

std::uint32_t boardClockHz = 0;
