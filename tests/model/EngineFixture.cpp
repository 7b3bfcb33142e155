#include "tests/model/EngineFixture.h"

#include <chrono>
#include <thread>

namespace modeltest {

EngineOnModel::EngineOnModel(std::string_view description, Mode mode, bool lineDrivers)
    : mode_(mode) {
    const std::string failure = Start(description, mode, lineDrivers);
    EXPECT_EQ(failure, "");
}

void EngineOnModel::WriteAll(std::uint8_t port, const std::string& bytes) {
    std::size_t done = 0;
    const bool ok = PumpUntil(
        [&] {
            done += Write(port, bytes.data() + done, bytes.size() - done);
            return done == bytes.size();
        },
        60 * sim::PicosecondsPerSecond);
    EXPECT_TRUE(ok) << "port " << int{port} << " took " << done << " of " << bytes.size();
}

void EngineOnModel::Pump(sim::SimTime duration) {
    if (mode_ == Mode::Manual) {
        host::RunMachine(duration, step_);
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

bool EngineOnModel::PumpUntil(const std::function<bool()>& condition, sim::SimTime limit) {
    if (mode_ == Mode::Manual) {
        for (sim::SimTime spent = 0; spent < limit; spent += step_) {
            if (condition()) {
                return true;
            }
            Pump(step_);
        }
        return condition();
    }
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > guard) {
            return false;
        }
        Pump(step_);
    }
    return true;
}

}  // namespace modeltest
