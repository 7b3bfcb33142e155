#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"
#include "tools/common/Interrupt.h"

namespace tool {
namespace {

constexpr std::uint8_t LeaveKey = 0x1D;  // Ctrl-]
// How often an idle terminal asks the driver for received bytes (it has no blocking read).
constexpr int IdlePollMilliseconds = 5;
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

int RunTerm(const Invocation& invocation) {
    // SIGTERM, SIGHUP (and Ctrl-C when the keyboard is not in raw mode) leave the terminal as
    // Ctrl-] does, with the keyboard's mode restored.
    CatchInterrupts();
    quelta::Device port = invocation.OpenExclusive(invocation.Argument(0, "device"));

    std::fprintf(stderr, "quelta: connected to %s (Ctrl-] leaves)\r\n",
                 quelta::ShortDeviceName(port.Name()).c_str());
    RawTerminal raw;
    std::vector<std::uint8_t> fromLine(port.DataAreaSize());
    std::uint8_t keys[256];
    bool inputOpen = true;
    auto lastActivity = Clock::now();
    while (!Interrupted()) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = inputOpen ? poll(&input, 1, IdlePollMilliseconds) : 0;
        if (!inputOpen) usleep(IdlePollMilliseconds * 1000);
        if (ready > 0) {
            const ssize_t count = read(STDIN_FILENO, keys, sizeof keys);
            if (count <= 0) {
                if (count < 0 && errno == EINTR) continue;
                inputOpen = false;
            } else {
                const auto* leave = static_cast<const std::uint8_t*>(
                    std::memchr(keys, LeaveKey, static_cast<std::size_t>(count)));
                const std::size_t toSend = leave != nullptr ? static_cast<std::size_t>(leave - keys)
                                                            : static_cast<std::size_t>(count);
                port.WriteAll(std::span<const std::uint8_t>(keys, toSend), std::chrono::seconds(2));
                if (leave != nullptr) break;
                lastActivity = Clock::now();
            }
        }
        const std::size_t received = port.Read(fromLine);
        if (received > 0) {
            WriteOut(fromLine.data(), received);
            lastActivity = Clock::now();
        } else if (!inputOpen && Clock::now() - lastActivity >= QuietAfterInput) {
            break;
        }
    }
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
