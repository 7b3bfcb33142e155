// The option scan of the command line: -Q, -S and -P into the option values, -h for the usage.
#pragma once

#include <cstdint>

enum class ScanOutcome { Continue, Stop };

extern const char UsageText[];
extern const char IrqShareMessage[];

// Scans the options into irqLine, irqShared and portBase. Stop after -h (usage printed) or a
// rejected -S value (message printed): the process then ends with exit code 0.
ScanOutcome ScanOptions(std::int32_t argc, char** argv);
