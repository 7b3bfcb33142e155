#include "server/RequestGate.h"

#include <atomic>
#include <cstdint>

#include "platform/Rtss.h"

namespace {

constexpr std::uint32_t PollMs = 1;
std::atomic<std::uint32_t> requestsHeld{0};

}  // namespace

void HoldRequests() { requestsHeld.store(1); }

void ReleaseRequests() { requestsHeld.store(0); }

void WaitForRequestGate() {
    while (requestsHeld.load() != 0) {
        Sleep(PollMs);
    }
}
