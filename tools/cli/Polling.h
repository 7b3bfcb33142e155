// The driver has no blocking read or write, so the tool's waiting loops poll it. PollPacer asks
// again soon after bytes moved and backs off while nothing does, and keeps the time since the
// last progress: the tool's time-outs mean "nothing moved for this long", never a total, so a
// slow line that keeps moving is not cut off.
#pragma once

#include <chrono>
#include <optional>

#include "tools/common/Commands.h"
#include "tools/common/Interrupt.h"

namespace tool {

class PollPacer {
public:
    // idleLimit: how long nothing may move before IdleTooLong; none: never.
    explicit PollPacer(std::optional<std::chrono::milliseconds> idleLimit = std::nullopt);

    void Moved();  // bytes moved: poll again soon, and the idle time starts again
    bool IdleTooLong() const;
    void Pause();  // naps the current interval and doubles it, up to MaxPacerInterval

private:
    std::optional<std::chrono::milliseconds> idleLimit_;
    Clock::time_point lastProgress_;
    std::chrono::microseconds interval_;
};

}  // namespace tool
