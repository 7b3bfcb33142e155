#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"
#include "tools/common/Interrupt.h"

namespace tool {
namespace {

constexpr std::uint8_t LeaveKey = 0x1D;  // Ctrl-]
// Once standard input has ended, the terminal stays until the line has been quiet this long.
constexpr auto QuietAfterInput = std::chrono::milliseconds(200);

// Raw mode for the keyboard while the terminal runs: every key goes to the line as typed
// (Ctrl-C included), nothing is echoed locally; the old mode comes back however the loop ends.
class RawTerminal {
public:
    RawTerminal() {
        active_ = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved_) == 0;
        if (active_) {
            termios raw = saved_;
            cfmakeraw(&raw);
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
    }
    ~RawTerminal() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

void WriteOut(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, data, size);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) continue;
            throw std::runtime_error("cannot write to standard output");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Shows what arrives, from a thread of its own that sleeps in the library's ReadSome while the
// main thread waits on the keyboard. The thread ends at Stop, or on an error (a driver that has
// ended), which closes the pipe behind EndedDescriptor() and which Stop throws again.
class LineToScreen {
public:
    explicit LineToScreen(quelta::Device& port) : port_(port), lastShown_(Clock::now()) {
        if (pipe2(ended_, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
        }
        const InterruptsBlocked blocked;  // signals go to the main thread and end its poll
        thread_ = std::thread([this] { Run(); });
    }
    ~LineToScreen() {
        Finish();
        close(ended_[0]);
    }
    LineToScreen(const LineToScreen&) = delete;
    LineToScreen& operator=(const LineToScreen&) = delete;

    int EndedDescriptor() const { return ended_[0]; }
    Clock::time_point LastShown() const { return lastShown_.load(); }
    void Stop() {
        Finish();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    void Run() {
        std::vector<std::uint8_t> buffer(port_.DataAreaSize());
        try {
            while (!stop_.load()) {
                const std::size_t count = port_.ReadSome(buffer, UntilInterrupted);
                if (count > 0) {
                    WriteOut(buffer.data(), count);
                    lastShown_.store(Clock::now());
                }
            }
        } catch (...) {
            failure_ = std::current_exception();
        }
        close(ended_[1]);
    }
    void Finish() {
        if (!thread_.joinable()) return;
        stop_.store(true);
        // Ends the ReadSome in progress, or the next one when the thread is between two.
        port_.CancelWait();
        thread_.join();
    }

    quelta::Device& port_;
    std::atomic<bool> stop_{false};
    std::atomic<Clock::time_point> lastShown_;
    std::exception_ptr failure_;
    int ended_[2] = {-1, -1};
    std::thread thread_;
};

int RunTerm(const Invocation& invocation) {
    // SIGTERM, SIGHUP (and Ctrl-C when the keyboard is not in raw mode) leave the terminal as
    // Ctrl-] does, with the keyboard's mode restored.
    CatchInterrupts();
    quelta::Device port = invocation.OpenExclusive(invocation.Argument(0, "device"));

    std::fprintf(stderr, "quelta: connected to %s (Ctrl-] leaves)\r\n",
                 quelta::ShortDeviceName(port.Name()).c_str());
    RawTerminal raw;
    LineToScreen screen(port);
    std::uint8_t keys[256];
    bool inputEnded = false;
    while (!Interrupted()) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {screen.EndedDescriptor(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 || watched[0].revents == 0) {
            if (watched[1].revents != 0) break;  // Stop below says why
            continue;                            // a signal: the loop looks at the flag
        }
        const ssize_t count = read(STDIN_FILENO, keys, sizeof keys);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            inputEnded = true;
            break;
        }
        const auto* leave = static_cast<const std::uint8_t*>(
            std::memchr(keys, LeaveKey, static_cast<std::size_t>(count)));
        const std::size_t toSend = leave != nullptr ? static_cast<std::size_t>(leave - keys)
                                                    : static_cast<std::size_t>(count);
        port.WriteAll(std::span<const std::uint8_t>(keys, toSend), std::chrono::seconds(2));
        if (leave != nullptr) break;
    }
    // Input has ended: what comes back within the quiet time is still shown.
    const auto ended = Clock::now();
    for (auto quietEnd = ended + QuietAfterInput; inputEnded && !Interrupted();
         quietEnd = std::max(ended, screen.LastShown()) + QuietAfterInput) {
        if (Clock::now() >= quietEnd) break;
        std::this_thread::sleep_until(quietEnd);
    }
    screen.Stop();
    std::fprintf(stderr, "\r\nquelta: left %s\n", quelta::ShortDeviceName(port.Name()).c_str());
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> TermCommands() {
    return {{"term",
             "term DEV",
             "interactive terminal on the port (Ctrl-] leaves)",
             "Sends every key as typed (the keyboard is in raw mode: Ctrl-C goes to the line too)\n"
             "and shows what arrives. Ctrl-] leaves. When standard input is not a terminal, its\n"
             "bytes are sent and the terminal leaves once input has ended and the line has been\n"
             "quiet for 200 ms. SIGTERM or a hang-up also leave. The device is held for this\n"
             "process alone (see --shared). Configure the port first (quelta config).\n\n"
             "Options:\n"
             "  --shared   do not claim the device: other clients may read from it meanwhile\n",
             {{"--shared", false}},
             1,
             1,
             RunTerm}};
}

}  // namespace tool
