// The single processor of the target, on a host with several: one process-wide lock stands for
// "interrupts disabled". A thread that disables interrupts holds it; the interrupt service thread
// holds it for the whole service, so a request thread's disabled section and the interrupt service
// never overlap, as on the target.
#include <mutex>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

namespace {

constexpr InterruptState FoundEnabled = 1;
constexpr InterruptState FoundDisabled = 0;

std::mutex cpuLock;
thread_local bool disabledHere = false;

}  // namespace

InterruptState DisableInterrupts() {
    if (disabledHere) {
        return FoundDisabled;  // nested: the outer section keeps the lock
    }
    cpuLock.lock();
    disabledHere = true;
    return FoundEnabled;
}

void RestoreInterrupts(InterruptState state) {
    if (state == FoundEnabled && disabledHere) {
        disabledHere = false;
        cpuLock.unlock();
    }
}

namespace host {

void EnterInterruptContext() {
    cpuLock.lock();
    disabledHere = true;
}

void LeaveInterruptContext() {
    disabledHere = false;
    cpuLock.unlock();
}

bool InterruptsDisabledOnThisThread() { return disabledHere; }

}  // namespace host
