// Locked memory. The platform promises nothing about a new block's contents; filling it with 0xA5
// makes code that relies on zeroed memory fail in tests instead of on the target.
#include <cstdlib>
#include <cstring>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"

constexpr unsigned char FreshMemoryPattern = 0xA5;

void* RTAPI RtAllocateLockedMemory(std::uint32_t size) {
    if (host::ShouldFail(host::Fault::Allocation)) {
        return nullptr;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        std::memset(block, FreshMemoryPattern, size);
    }
    return block;
}

RtBool RTAPI RtFreeLockedMemory(void* block) {
    std::free(block);
    return true;
}
