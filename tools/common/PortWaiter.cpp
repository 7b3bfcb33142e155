#include "tools/common/PortWaiter.h"

#include <signal.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace tool {
namespace {

// Against a driver without events, or a port whose waiter slots other clients hold, the waiter
// wakes its owner this often instead, as the bridges did before the events. At 921,600 baud the
// line moves about 92 bytes in a millisecond, far less than a ring holds.
constexpr std::chrono::milliseconds PollingInterval{1};
// A wait ends by CancelWait when the waiter is destroyed; the time-out only bounds a wait that
// the cancel missed.
constexpr std::chrono::milliseconds WaitLimit{60000};

}  // namespace

PortWaiter::PortWaiter(quelta::Device& port, std::uint32_t mask, std::chrono::milliseconds modemGap)
    : port_(port),
      mask_(mask),
      modemGap_(modemGap),
      ready_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!ready_.Valid()) {
        throw std::runtime_error(std::string("cannot make an event descriptor: ") +
                                 std::strerror(errno));
    }
    // Ctrl-C and SIGTERM must reach the owner's poll, which they cut short, and never this
    // thread: it starts with every signal blocked.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    thread_ = std::thread([this] { Wait(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

PortWaiter::~PortWaiter() {
    stop_ = true;
    // A cancel that finds no wait in progress ends the next one at once.
    port_.CancelWait();
    thread_.join();
}

void PortWaiter::Signal(std::uint32_t events) {
    happened_ |= events;
    const std::uint64_t one = 1;
    (void)!write(ready_.Get(), &one, sizeof one);
}

void PortWaiter::Wait() {
    bool evented = port_.HasEvents();
    std::optional<std::chrono::steady_clock::time_point> quietUntil;  // of modem changes
    while (!stop_) {
        if (!evented) {
            Signal(mask_);
            std::this_thread::sleep_for(PollingInterval);
            continue;
        }
        try {
            std::uint32_t mask = mask_;
            std::chrono::milliseconds limit = WaitLimit;
            if (quietUntil) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    *quietUntil - std::chrono::steady_clock::now());
                if (left.count() > 0) {
                    mask &= ~PortEvent::ModemChange;
                    limit = left;
                } else {
                    // What changed meanwhile was not waited for: the owner looks once more.
                    quietUntil.reset();
                    Signal(PortEvent::ModemChange);
                }
            }
            const quelta::EventReport report = port_.WaitEvents(mask, limit);
            const std::uint32_t events = report.happened & mask;
            if ((events & PortEvent::ModemChange) != 0 && modemGap_.count() > 0) {
                quietUntil = std::chrono::steady_clock::now() + modemGap_;
            }
            if (events != 0) Signal(events);
        } catch (const quelta::Error& error) {
            // Every waiter slot is taken by other clients: poll.
            if (error.Code() == quelta::ErrorCode::DeviceBusy) {
                evented = false;
                continue;
            }
            Fail();
            return;
        } catch (...) {
            Fail();
            return;
        }
    }
}

void PortWaiter::Fail() {
    {
        const std::lock_guard lock(failureMutex_);
        failure_ = std::current_exception();
    }
    Signal(0);
}

std::uint32_t PortWaiter::Take() {
    std::uint64_t count = 0;
    (void)!read(ready_.Get(), &count, sizeof count);
    {
        const std::lock_guard lock(failureMutex_);
        if (failure_) std::rethrow_exception(failure_);
    }
    return happened_.exchange(0);
}

}  // namespace tool
