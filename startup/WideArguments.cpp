#include "startup/WideArguments.h"

#include <cstddef>

#include "startup/DriverMain.h"

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
