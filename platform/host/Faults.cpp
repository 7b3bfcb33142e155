// Fault injection: the n-th call of an operation from now on fails.
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/HostPlatform.h"

namespace host {
namespace {

struct FaultCounter {
    std::atomic<std::uint32_t> failAt{0};  // 0: disarmed
    std::atomic<std::uint32_t> calls{0};
};

std::array<FaultCounter, static_cast<std::size_t>(Fault::Count)> counters;

constexpr std::array<const char*, static_cast<std::size_t>(Fault::Count)> faultNames = {
    "allocation", "translation", "mapping", "shm", "semaphore",
    "mutex",      "thread",      "priority", "attach"};

}  // namespace

void FailNthCall(Fault fault, std::uint32_t n) {
    FaultCounter& counter = counters[static_cast<std::size_t>(fault)];
    counter.calls = 0;
    counter.failAt = n;
}

void ClearFaults() {
    for (FaultCounter& counter : counters) {
        counter.failAt = 0;
        counter.calls = 0;
    }
}

bool ShouldFail(Fault fault) {
    FaultCounter& counter = counters[static_cast<std::size_t>(fault)];
    const std::uint32_t failAt = counter.failAt.load();
    if (failAt == 0) {
        return false;
    }
    if (counter.calls.fetch_add(1) + 1 != failAt) {
        return false;
    }
    counter.failAt = 0;
    return true;
}

// RTSS_FAULTS="attach:1,thread:3"; unknown names are ignored.
void ArmFaultsFromEnvironment() {
    const char* text = std::getenv("RTSS_FAULTS");
    if (text == nullptr) {
        return;
    }
    std::string list(text);
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string item = list.substr(start, end - start);
        const std::size_t colon = item.find(':');
        if (colon != std::string::npos) {
            const std::string name = item.substr(0, colon);
            const auto n = static_cast<std::uint32_t>(std::strtoul(item.c_str() + colon + 1,
                                                                   nullptr, 10));
            for (std::size_t i = 0; i < faultNames.size(); ++i) {
                if (name == faultNames[i]) {
                    FailNthCall(static_cast<Fault>(i), n);
                }
            }
        }
        start = end + 1;
    }
}

}  // namespace host
