// The one fatal exit of the driver: a failed interrupt attachment at board set-up.
#pragma once

// Prints "Error: <message> (0x<last error>)" on the wide console and ends the process with 1.
[[noreturn]] void FatalError(const char16_t* message);
