#include "startup/CommandLine.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Rtss.h"
#include "startup/Discovery.h"
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

std::int32_t QueltaMain(std::int32_t argc, char** argv) {
    if (ScanOptions(argc, argv) == ScanOutcome::Stop) {
        return 0;
    }
    DiscoverBoard();
    // The process lives on in its service threads; the main thread has nothing more to do.
    for (;;) {
        SuspendThread(GetCurrentThread());
    }
}

void NarrowArguments(std::int32_t argc, char16_t** argv) {
    for (std::int32_t i = 0; i < argc; ++i) {
        const char16_t* wide = argv[i];
        auto* narrow = reinterpret_cast<char*>(argv[i]);
        // Byte k lies below unit k, which is read before it is written, so the copy never
        // overwrites a unit it has yet to read.
        for (std::size_t k = 0;; ++k) {
            const auto low = static_cast<char>(wide[k] & 0xFF);
            narrow[k] = low;
            if (low == '\0') {
                break;
            }
        }
    }
}

std::int32_t WideEntry(std::int32_t argc, char16_t** argv) {
    NarrowArguments(argc, argv);
    return QueltaMain(argc, reinterpret_cast<char**>(argv));
}

void FatalError(const char16_t* message) {
    RtWprintf(u"Error: %s (0x%X)\n", message, static_cast<unsigned>(GetLastError()));
    ExitProcess(1);
}
