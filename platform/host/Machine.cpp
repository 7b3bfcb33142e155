// PCI configuration space, bus address translation, mapping and interrupt attachment.
// Not yet connected to a machine: every operation fails cleanly.
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

std::uint32_t RtGetBusDataByOffset(std::uint32_t, std::uint32_t, std::uint32_t, void*,
                                   std::uint32_t, std::uint32_t) {
    return 0;  // no bus
}

bool RtTranslateBusAddress(std::uint32_t, std::uint32_t, std::uint64_t, std::uint32_t*,
                           std::uint64_t*) {
    return false;
}

void* RtMapMemory(std::uint64_t, std::uint32_t, std::uint32_t) { return nullptr; }

RtHandle RtAttachInterruptVector(void*, std::uint32_t, RtInterruptRoutine, void*, std::uint32_t,
                                 std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
    SetLastError(RtError::PathNotFound);
    return nullptr;
}

RtHandle RtAttachInterruptVectorEx(void*, std::uint32_t, RtInterruptRoutine, void*, std::uint32_t,
                                   std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                   std::uint32_t, std::uint32_t, RtInterruptPrecheck) {
    SetLastError(RtError::PathNotFound);
    return nullptr;
}
