#include "tools/common/DriverLink.h"

#include <algorithm>
#include <cstdio>

#include "client/DeviceName.h"
#include "tools/common/Interrupt.h"

namespace tool {
namespace {

// How often a waiting link looks for its driver again. A look at a driver that still does not
// answer takes the reply limit on top.
constexpr std::chrono::milliseconds RetryPause{100};

// A request that gave up on the driver (Ctrl-C during a stall); or one that found the device mutex
// held that long, by another client that was waiting for the same driver.
bool Stalled(quelta::ErrorCode code) {
    return code == quelta::ErrorCode::NotAnswering || code == quelta::ErrorCode::DeviceBusy;
}

// Without its objects, or with a port nobody has opened: a driver that has ended.
bool Gone(quelta::ErrorCode code) {
    return code == quelta::ErrorCode::NoSuchDevice || code == quelta::ErrorCode::NotOpened;
}

}  // namespace

DriverLink::DriverLink(const Invocation& invocation, const std::string& name, DriverEnd onEnd)
    : invocation_(invocation),
      name_(name),
      shortName_(quelta::ShortDeviceName(name)),
      onEnd_(onEnd),
      port_(invocation.OpenExclusive(name, WaitingOptions())) {}

void DriverLink::Say(const std::string& what) const {
    std::fprintf(stderr, "quelta: %s: %s\n", shortName_.c_str(), what.c_str());
}

quelta::OpenOptions DriverLink::WaitingOptions() {
    quelta::OpenOptions options;
    options.waitLateReplies = true;
    options.onStall = [this](quelta::Stall stall) {
        if (!reopening_ && stall == quelta::Stall::Began) {
            Say("the driver does not answer; waiting for it (Ctrl-C ends)");
        } else if (!reopening_ && stall == quelta::Stall::Ended) {
            Say("the driver answers again");
        }
        return !Interrupted();
    };
    return options;
}

bool DriverLink::Recover(const quelta::Error& error,
                         const std::function<void(quelta::Device&)>& restore) {
    if (!Gone(error.Code()) && !Stalled(error.Code())) throw error;
    // A restarted driver has new objects under the same names: a new Device each time.
    const quelta::OpenMode mode =
        onEnd_ == DriverEnd::Reattach ? quelta::OpenMode::AttachOrReset : quelta::OpenMode::Attach;
    bool ended = false;
    reopening_ = true;
    while (!Interrupted()) {
        port_.reset();  // and the claim with it, which this process takes again
        try {
            port_.emplace(
                invocation_.OpenWith(name_, mode, invocation_.Exclusive(), WaitingOptions()));
            const bool restarted = ended || port_->WasReset();
            if (restarted) {
                restore(*port_);
            } else {
                (void)port_->GetRxCount();  // opening an opened port asks nothing: ask now
            }
            reopening_ = false;
            if (restarted) Say("a driver serves the device again: attached, settings restored");
            return true;
        } catch (const quelta::Error& again) {
            const bool gone = Gone(again.Code());
            if (gone && onEnd_ == DriverEnd::Fail) throw error;
            if (gone && !ended) Say("the driver has ended; waiting for one with the same names");
            ended = ended || gone;
            // A block that does not fit yet belongs to a driver that is still starting.
            if (!gone && !Stalled(again.Code()) &&
                again.Code() != quelta::ErrorCode::ProtocolError) {
                throw;
            }
        }
        Nap(RetryPause);
    }
    return false;
}

bool HandOver(quelta::Device& port, std::vector<std::uint8_t>& data) {
    while (!data.empty()) {
        const std::size_t piece = std::min<std::size_t>(data.size(), port.DataAreaSize());
        const std::size_t taken = port.Write(std::span(data).first(piece));
        data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
        if (taken < piece) return false;
    }
    return true;
}

}  // namespace tool
