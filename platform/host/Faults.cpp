// Fault injection: the n-th call of an operation from now on fails.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/Faults.h"

namespace host {
namespace {

struct FaultCounter {
    std::atomic<std::uint32_t> failAt{0};  // 0: disarmed
    std::atomic<std::uint32_t> calls{0};
};

std::array<FaultCounter, static_cast<std::size_t>(Fault::Count)> counters;

constexpr std::array<std::string_view, static_cast<std::size_t>(Fault::Count)> faultNames = {
    "allocation", "translation", "mapping",  "shm",   "semaphore",
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

// RTSS_FAULTS="attach:1,thread:3". A list that cannot be read arms nothing and says why: a test
// that meant to inject a fault must not pass because none was injected.
std::string ArmFaultsFromEnvironment() {
    const char* text = std::getenv("RTSS_FAULTS");
    if (text == nullptr || *text == '\0') {
        return {};
    }
    std::vector<std::pair<Fault, std::uint32_t>> armed;
    const std::string list(text);
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string item = list.substr(start, end - start);
        const std::size_t colon = item.find(':');
        const auto known = std::find(faultNames.begin(), faultNames.end(), item.substr(0, colon));
        const std::string count = colon == std::string::npos ? "" : item.substr(colon + 1);
        const bool digits =
            !count.empty() && count.size() <= 9 &&
            std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; });
        const unsigned long n = digits ? std::stoul(count) : 0;
        if (known == faultNames.end() || n == 0) {
            return "RTSS_FAULTS: \"" + item +
                   "\" is not OPERATION:N (operations: allocation, "
                   "translation, mapping, shm, semaphore, mutex, thread, priority, attach)";
        }
        armed.emplace_back(static_cast<Fault>(known - faultNames.begin()),
                           static_cast<std::uint32_t>(n));
        start = end + 1;
    }
    for (const auto& [fault, n] : armed) {
        FailNthCall(fault, n);
    }
    return {};
}

}  // namespace host
