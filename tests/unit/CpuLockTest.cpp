#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"

namespace {

TEST(CpuLock, NestedSectionsRestoreTheStateTheyFound) {
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
    const InterruptState outer = DisableInterrupts();
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread());
    const InterruptState inner = DisableInterrupts();
    RestoreInterrupts(inner);
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread()) << "an inner restore ends no outer section";
    RestoreInterrupts(outer);
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
}

// While one side is inside, the other cannot enter: a flag set inside the section must never be
// seen by the other side.
TEST(CpuLock, RequestSectionsAndTheInterruptServiceExcludeEachOther) {
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<bool> stop{false};
    std::thread interruptSide([&] {
        while (!stop) {
            host::EnterInterruptContext();
            if (inside.fetch_add(1) != 0) overlap = true;
            // A section inside the service is nested, as the service's own sections are.
            const InterruptState state = DisableInterrupts();
            RestoreInterrupts(state);
            EXPECT_TRUE(host::InterruptsDisabledOnThisThread());
            inside.fetch_sub(1);
            host::LeaveInterruptContext();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        const InterruptState state = DisableInterrupts();
        if (inside.fetch_add(1) != 0) overlap = true;
        inside.fetch_sub(1);
        RestoreInterrupts(state);
    }
    stop = true;
    interruptSide.join();
    EXPECT_FALSE(overlap);
}

}  // namespace
