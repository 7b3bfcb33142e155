// Named shared memory, semaphores and mutexes. Not yet built: creation fails cleanly.
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

RtHandle RtCreateSharedMemoryA(std::uint32_t, std::uint32_t, std::uint32_t, const char*, void**) {
    SetLastError(RtError::PathNotFound);
    return nullptr;
}

RtHandle RtCreateSemaphoreA(void*, std::int32_t, std::int32_t, const char*) {
    SetLastError(RtError::PathNotFound);
    return nullptr;
}

RtHandle RtCreateMutexA(void*, bool, const char*) {
    SetLastError(RtError::PathNotFound);
    return nullptr;
}

std::uint32_t RtWaitForSingleObject(RtHandle, std::uint32_t) { return RtValue::WaitFailed; }

bool RtReleaseSemaphore(RtHandle, std::int32_t, std::int32_t*) { return false; }
