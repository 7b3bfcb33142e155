// Fault injection for tests: the n-th call of a platform operation can be made to fail, from a
// test (FailNthCall) or from the environment (RTSS_FAULTS="attach:1,thread:3", taken at start).
#pragma once

#include <cstdint>

namespace host {

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

}  // namespace host
