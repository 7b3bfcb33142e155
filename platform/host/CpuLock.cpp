// The single processor of the target, on a host with several: one process-wide lock stands for
// "interrupts disabled". A thread that disables interrupts holds it; the interrupt service thread
// holds it for the whole service, so a request thread's disabled section and the interrupt service
// never overlap, as on the target.
//
// Sections must also balance. On the target a section left open on some rarely taken path (an
// early return between the disable and its restore) leaves the processor with interrupts off; on
// the host the interrupt service's own hold of the lock would hide it. So every thread counts the
// sections it has open, and the points where none may be open (an interrupt routine's return, a
// wait, a sleep, a reply, the parked main thread) end the process with a message when one is.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

namespace {

constexpr InterruptState FoundEnabled = 1;
constexpr InterruptState FoundDisabled = 0;

std::mutex cpuLock;
thread_local bool disabledHere = false;
thread_local std::int32_t openSections = 0;  // disables not yet restored, nested ones included

[[noreturn]] void Unbalanced(const char* what) {
    std::fprintf(stderr, "interrupt sections unbalanced: %s\n", what);
    std::abort();
}

}  // namespace

InterruptState DisableInterrupts() {
    ++openSections;
    if (disabledHere) {
        return FoundDisabled;  // nested: the outer section keeps the lock
    }
    cpuLock.lock();
    disabledHere = true;
    return FoundEnabled;
}

void RestoreInterrupts(InterruptState state) {
    if (openSections == 0) {
        Unbalanced("a restore without a disable before it");
    }
    --openSections;
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

void RequireNoOpenSection(const char* where) {
    if (openSections != 0) {
        char what[160];
        std::snprintf(what, sizeof what, "%s with %d interrupt section(s) left open", where,
                      static_cast<int>(openSections));
        Unbalanced(what);
    }
}

}  // namespace host
