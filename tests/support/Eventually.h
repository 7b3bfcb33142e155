// Waiting for what other threads or processes bring about. The limit only keeps a broken build from
// hanging the run: no test depends on how long the wait takes.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

template <typename Condition>
bool Eventually(Condition condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return condition();
}

}  // namespace testsupport
