// Real-time priorities on the host: with RTSS_REALTIME=1 the platform's priorities (0 to 127)
// are mapped onto the system's SCHED_FIFO range, 127 its top, where the system permits it;
// otherwise every thread keeps normal scheduling. An interrupt service thread, which also keeps
// its boards' paced time and so stands for the hardware that raises the interrupt, runs at the
// priority the attachment gives it (the driver's 127, the top).
#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace host {

constexpr std::int32_t TopPriority = 127;

inline bool RealTimeRequested() {
    const char* realtime = std::getenv("RTSS_REALTIME");
    return realtime != nullptr && std::strcmp(realtime, "1") == 0;
}

inline void ApplyRealTimePriority(pthread_t thread, std::int32_t rtssPriority) {
    if (!RealTimeRequested()) {
        return;
    }
    const int low = sched_get_priority_min(SCHED_FIFO);
    const int high = sched_get_priority_max(SCHED_FIFO);
    sched_param parameters{};
    parameters.sched_priority =
        low + (std::clamp(rtssPriority, std::int32_t{0}, TopPriority) * (high - low)) / TopPriority;
    (void)pthread_setschedparam(thread, SCHED_FIFO, &parameters);
}

}  // namespace host
