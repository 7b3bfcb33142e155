// The host's stand-in for disabling the single processor's interrupts: while a thread has a
// section open, the interrupt service waits; an inner section's restore does not end the outer one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

namespace {

TEST(CpuLock, TheInterruptServiceWaitsForTheOutermostRestore) {
    const InterruptState outer = DisableInterrupts();
    const InterruptState inner = DisableInterrupts();
    std::atomic<bool> served{false};
    std::thread service([&served] {
        host::EnterInterruptContext();
        served = true;
        host::LeaveInterruptContext();
    });
    RestoreInterrupts(inner);
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(served.load()) << "served inside a disabled section";
    RestoreInterrupts(outer);
    service.join();
    EXPECT_TRUE(served.load());
}

}  // namespace
