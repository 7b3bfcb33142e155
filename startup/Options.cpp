#include "startup/Options.h"

std::uint8_t irqLine = 0;
std::uint8_t irqShared = 0;
std::uint8_t portBase = 0;
