#include "tools/cli/Polling.h"

#include <algorithm>

namespace tool {
namespace {

// A pacer's pause between two polls: short right after bytes moved, and at the longest how long
// Ctrl-C may take to be noticed. (The client library's own transfers pace themselves.)
constexpr std::chrono::microseconds MinPacerInterval{50};
constexpr std::chrono::microseconds MaxPacerInterval{10000};

}  // namespace

PollPacer::PollPacer(std::optional<std::chrono::milliseconds> idleLimit)
    : idleLimit_(idleLimit), lastProgress_(Clock::now()), interval_(MinPacerInterval) {}

void PollPacer::Moved() {
    lastProgress_ = Clock::now();
    interval_ = MinPacerInterval;
}

bool PollPacer::IdleTooLong() const {
    return idleLimit_.has_value() && Clock::now() - lastProgress_ >= *idleLimit_;
}

void PollPacer::Pause() {
    Nap(interval_);
    interval_ = std::min(interval_ * 2, MaxPacerInterval);
}

}  // namespace tool
