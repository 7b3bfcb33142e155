#include "tools/cli/ProgressLine.h"

#include <unistd.h>

#include <cstdio>

namespace tool {
namespace {

constexpr auto ShowAfter = std::chrono::seconds(1);
constexpr auto Redraw = std::chrono::milliseconds(200);
constexpr auto RateWindow = std::chrono::seconds(3);

}  // namespace

ProgressLine::ProgressLine(std::size_t total)
    : onTerminal_(isatty(STDERR_FILENO) != 0), total_(total), start_(Clock::now()) {}

void ProgressLine::Update(std::size_t done) {
    if (!onTerminal_) return;
    const auto now = Clock::now();
    // The rate leaves out the first half second, in which the ring took its first bytes at once.
    if (recent_.empty() && now - start_ >= ShowAfter / 2) recent_.emplace_back(now, done);
    if (now - start_ < ShowAfter || (shown_ && now - lastDrawn_ < Redraw)) return;
    Draw(done);
}

void ProgressLine::Finish(std::size_t done) {
    if (!shown_) return;
    Draw(done);
    std::fputs("\n", stderr);
}

void ProgressLine::Draw(std::size_t done) {
    lastDrawn_ = Clock::now();
    shown_ = true;
    if (recent_.empty()) recent_.emplace_back(start_, 0);
    while (recent_.size() > 1 && lastDrawn_ - recent_[1].first >= RateWindow) recent_.pop_front();
    const auto [since, doneThen] = recent_.front();
    recent_.emplace_back(lastDrawn_, done);
    const double seconds = std::chrono::duration<double>(lastDrawn_ - since).count();
    const double rate = seconds > 0 ? static_cast<double>(done - doneThen) / seconds : 0;
    char speed[32];
    if (rate >= 1e6) {
        std::snprintf(speed, sizeof speed, "%.1f MB/s", rate / 1e6);
    } else if (rate >= 1e3) {
        std::snprintf(speed, sizeof speed, "%.1f kB/s", rate / 1e3);
    } else {
        std::snprintf(speed, sizeof speed, "%.0f B/s", rate);
    }
    // The spaces at the end cover a longer line drawn before.
    std::fprintf(stderr, "\r  %zu/%zu bytes  %s   ", done, total_, speed);
    std::fflush(stderr);
}

}  // namespace tool
