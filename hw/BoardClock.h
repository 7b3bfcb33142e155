#pragma once

#include <cstdint>

// UART input clock in Hz, read from the configuration EEPROM once at board set-up; 0 until then.
extern std::uint32_t boardClockHz;
