#include "startup/OptionScan.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Rtss.h"
#include "startup/Options.h"

const char UsageText[] =
    "Usage: \n-Q IRQ of the Quelta Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
    "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help";
const char IrqShareMessage[] = "IrqShare wrong value, should be 0 or 1\n";

namespace {

// The standard decimal conversion of a 32-bit long: white space, an optional sign, digits up to
// the first other character; out-of-range values give the nearer bound. Only the low 8 bits are
// kept, so 300 gives 44 and -1 gives 255.
std::uint8_t OptionByte(const char* text) {
    // strtol saturates at the bounds of long, which is 32 bits on the target and wider on the
    // 64-bit host; the clamp makes both the 32-bit result.
    const long long value =
        std::clamp<long long>(std::strtol(text, nullptr, 10), INT32_MIN, INT32_MAX);
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) & 0xFF);
}

}  // namespace

ScanOutcome ScanOptions(std::int32_t argc, char** argv) {
    for (std::int32_t i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-' || argument[1] == '\0') {
            continue;
        }
        // The characters of a value given in the same argument are scanned as options too.
        for (const char* p = argument + 1; *p != '\0'; ++p) {
            if (*p == 'h') {
                RtPrintf("%s", UsageText);
                return ScanOutcome::Stop;
            }
            if (*p != 'Q' && *p != 'P' && *p != 'S') {
                continue;
            }
            const char* value = nullptr;
            if (p[1] != '\0') {
                value = p + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];  // consumed: never scanned for options
            }
            if (value == nullptr) {
                continue;  // a letter that ends the last argument has no value
            }
            const std::uint8_t byte = OptionByte(value);
            if (*p == 'Q') {
                irqLine = byte;
            } else if (*p == 'P') {
                portBase = byte;
            } else {
                irqShared = byte;
                if (irqShared > 1) {
                    RtPrintf("%s", IrqShareMessage);
                    return ScanOutcome::Stop;
                }
            }
        }
    }
    return ScanOutcome::Continue;
}
