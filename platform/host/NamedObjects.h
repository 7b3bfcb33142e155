// What tests and benchmarks may know of the host's named objects beyond the platform operations.
#pragma once

#include <cstdint>

namespace host {

// A wait on a semaphore polls at most this long before it sleeps. Waking a sleeping thread on
// another core costs tens of microseconds; a peer that answers within this window is caught
// without one. Each semaphore handle learns from its own waits how much of it pays
// (shared_sync::PollWindow), so that a waiter whose peer keeps it waiting longer stops polling.
constexpr std::uint32_t PollBeforeSleepMicroseconds = 50;

// Named-object handles of this process that are open now (shared memory, semaphores, mutexes).
std::uint32_t OpenNamedObjects();

}  // namespace host
