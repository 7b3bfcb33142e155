// "\r  12000/20000 bytes  1.2 kB/s" on standard error while a send runs: only on a terminal (a
// script's log gets no carriage returns) and only once the send has taken a second, so a short
// one prints nothing extra. Finish ends the line. The rate is that of the last few seconds, not
// counting the first half second: the transmit ring takes its first 8 KiB at once, which says
// nothing about the line.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

#include "tools/common/Commands.h"

namespace tool {

class ProgressLine {
public:
    explicit ProgressLine(std::size_t total);
    void Update(std::size_t done);
    void Finish(std::size_t done);

private:
    void Draw(std::size_t done);
    bool onTerminal_;
    std::size_t total_;
    Clock::time_point start_;
    Clock::time_point lastDrawn_;
    std::deque<std::pair<Clock::time_point, std::size_t>> recent_;  // one a redraw, oldest first
    bool shown_ = false;
};

}  // namespace tool
