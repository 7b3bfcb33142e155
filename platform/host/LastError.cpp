#include "platform/Rtss.h"

namespace {
thread_local std::uint32_t lastError = 0;
}

std::uint32_t RTAPI GetLastError() { return lastError; }

void RTAPI SetLastError(std::uint32_t code) { lastError = code; }
