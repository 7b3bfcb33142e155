// The start routine: the C runtime's own start-up builds the wide argument vector from the command
// line the loader gave the process; the wide entry narrows it and runs the driver. The runtime's
// other start-up work (standard streams, static constructors, exit handlers) is not needed: the
// driver uses none of it, and it ends the process through the platform.
#include <cstdint>

#include "platform/rtx/ProcessEntry.h"
#include "startup/WideArguments.h"

namespace {

struct StartupInfo {
    std::int32_t newMode;
};

}  // namespace

extern "C" std::int32_t RTCDECL __wgetmainargs(std::int32_t* argc, char16_t*** argv,
                                               char16_t*** environment, std::int32_t wildcards,
                                               StartupInfo* info);

std::int32_t RTFCNDCL ProcessStart() {
    std::int32_t argc = 0;
    char16_t** argv = nullptr;
    char16_t** environment = nullptr;
    StartupInfo info{0};
    if (__wgetmainargs(&argc, &argv, &environment, 0, &info) >= 0) {
        ExitProcess(static_cast<std::uint32_t>(WideEntry(argc, argv)));
    }
    return -1;
}
