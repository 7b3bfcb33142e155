#include "startup/DriverMain.h"

#include "platform/Rtss.h"
#include "startup/Discovery.h"
#include "startup/OptionScan.h"

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
