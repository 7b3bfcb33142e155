#include "server/PortRequestLock.h"

#include <atomic>

#include "platform/Rtss.h"
#include "port/PortRecord.h"

namespace {

// A word per port rather than anything of the platform's: the lock must exist before set-up
// creates the first device and cost nothing when, as on the target, it is always free.
std::atomic<std::uint32_t> portHeld[MaxPorts] = {};

}  // namespace

void LockPortRequests(std::uint8_t portIndex) {
    // Only request threads take it, all of one priority, and none holds it across a wait: a
    // thread that finds it taken gives the processor to the holder until the holder lets go.
    while (portHeld[portIndex].exchange(1, std::memory_order_acquire) != 0) {
        Sleep(0);
    }
}

void UnlockPortRequests(std::uint8_t portIndex) {
    portHeld[portIndex].store(0, std::memory_order_release);
}
