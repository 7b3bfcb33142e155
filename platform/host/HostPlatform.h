// What the Linux host backend offers beyond the platform operations: the hooks through which the
// simulated machine and the tests plug into it. The driver never includes this header.
#pragma once

#include <cstdint>
#include <functional>

namespace host {

// Something that answers byte loads and stores at offsets of a mapped register region: a board of
// the simulated machine, or the scripted register fake of the unit tests.
class RegisterDevice {
public:
    virtual ~RegisterDevice() = default;
    virtual std::uint8_t Load(std::uint32_t offset) = 0;
    virtual void Store(std::uint32_t offset, std::uint8_t value) = 0;
};

// The largest region one mapping can cover.
constexpr std::uint32_t MaxMappingLength = 0x10000;

// Gives the device an address in a reserved, inaccessible range: loads and stores through the
// platform reach the device, a direct dereference faults at once. Null when no slot is free.
void* MapRegisterDevice(RegisterDevice* device, std::uint32_t length);
void UnmapRegisterDevice(void* base);

// Operations whose n-th call from now on can be made to fail.
enum class Fault : std::uint32_t {
    Allocation,
    Translation,
    Mapping,
    SharedMemory,
    Semaphore,
    Mutex,
    Thread,
    Priority,
    InterruptAttach,
    Count
};

// The n-th call (1 = the next one) of the operation fails; 0 disarms it.
void FailNthCall(Fault fault, std::uint32_t n);
void ClearFaults();
// Counts a call of the operation; true when this call is to fail. Used inside the backend.
bool ShouldFail(Fault fault);

// Process start on the host: takes the host settings (TakeHostSettings), blocks the ending signals
// in every thread and starts the thread that ends the process in order on SIGINT, SIGTERM or SIGHUP.
void StartProcess();

// Checks RTSS_NAMESPACE, RTSS_OBJECT_MODE and RTSS_REALTIME and arms RTSS_FAULTS
// ("attach:1,thread:3": the n-th call of that operation fails). A setting that cannot be used
// ends the process with a one-line "VARIABLE: reason" on standard error and exit code 2.
void TakeHostSettings();

// Work done before the process ends in order (ExitProcess, an ending signal, a normal exit):
// removing the named objects this process created.
void AtProcessEnd(std::function<void()> work);
void RunProcessEndWork();

// The interrupt service thread runs the service routine holding the CPU lock, as the single
// processor would: no request thread is inside a disabled section meanwhile.
void EnterInterruptContext();
void LeaveInterruptContext();
bool InterruptsDisabledOnThisThread();
// Ends the process with "interrupt sections unbalanced: <where> with N interrupt section(s) left
// open" when the calling thread has disabled interrupts without restoring them. The backend calls
// it where the target would freeze: after each interrupt routine, and in the waits, sleeps,
// releases and the suspension that end a request or set-up.
void RequireNoOpenSection(const char* where);

// Real-time priority recorded for a thread handle by RtSetThreadPriority (-1 if never set).
std::int32_t RecordedPriority(void* threadHandle);

}  // namespace host
