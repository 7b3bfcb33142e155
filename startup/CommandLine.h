// Process entry on the main thread: the argument vector, the option scan, the hand-over to board
// discovery, the parked main thread, and the one fatal exit.
#pragma once

#include <cstdint>

enum class ScanOutcome { Continue, Stop };

extern const char UsageText[];
extern const char IrqShareMessage[];

// Scans the options into irqLine, irqShared and portBase. Stop after -h (usage printed) or a
// rejected -S value (message printed): the process then ends with exit code 0.
ScanOutcome ScanOptions(std::int32_t argc, char** argv);

// The main routine: scan, discover and set up the board, then park. Returns only after Stop.
std::int32_t QueltaMain(std::int32_t argc, char** argv);

// Narrows each 16-bit argument in place: the low byte of each unit, up to and including the first
// unit whose low byte is 0.
void NarrowArguments(std::int32_t argc, char16_t** argv);

// The wide entry of the target's runtime start-up: narrows, then runs the main routine.
std::int32_t WideEntry(std::int32_t argc, char16_t** argv);

// Prints "Error: <message> (0x<last error>)" on the wide console and ends the process with 1.
[[noreturn]] void FatalError(const char16_t* message);
