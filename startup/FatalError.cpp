#include "startup/FatalError.h"

#include "platform/Rtss.h"

void FatalError(const char16_t* message) {
    RtWprintf(u"Error: %s (0x%X)\n", message, static_cast<unsigned>(GetLastError()));
    ExitProcess(1);
}
