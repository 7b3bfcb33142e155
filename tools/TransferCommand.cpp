#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "client/DeviceName.h"
#include "tools/Commands.h"
#include "tools/Interrupt.h"
#include "tools/Polling.h"

namespace tool {
namespace {

constexpr double DefaultSendTimeout = 5.0;
constexpr double DefaultRecvTimeout = 1.0;
constexpr double DefaultRecvCountTimeout = 5.0;

std::vector<std::uint8_t> ReadInput(const std::string& path) {
    std::vector<std::uint8_t> data;
    if (path == "-") {
        std::uint8_t buffer[4096];
        std::size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
            data.insert(data.end(), buffer, buffer + count);
        }
        return data;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return data;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

double TimeoutOption(const CommandLine& line, double otherwise) {
    const auto text = line.Value("--timeout");
    return text ? ParseSeconds(*text, "--timeout") : otherwise;
}

int RunSend(const Invocation& invocation) {
    const CommandLine& line = invocation.Line();
    const auto file = line.Value("--file");
    const bool hasText = line.Positionals().size() > 1;
    if (file.has_value() == hasText) {
        throw UsageError("send takes either TEXT or --file FILE");
    }
    std::vector<std::uint8_t> data;
    if (file) {
        data = ReadInput(*file);
    } else {
        const std::string& text = line.Positionals()[1];
        data.assign(text.begin(), text.end());
    }
    if (line.Has("--newline")) data.push_back('\n');
    const double timeout = TimeoutOption(line, DefaultSendTimeout);
    CatchInterrupts();
    // A file is a transfer of its own; a short text may go in between another client's bytes.
    const std::string& device = invocation.Argument(0, "device");
    quelta::Device port = file ? invocation.OpenExclusive(device) : invocation.Open(device);

    // In pieces of one request each, so that Ctrl-C is seen between them.
    PollPacer pacer(ToMilliseconds(timeout));
    std::size_t sent = 0;
    const auto sentText = [&] {
        return "sent " + std::to_string(sent) + " of " + std::to_string(data.size()) + " bytes";
    };
    while (sent < data.size()) {
        if (Interrupted()) return ReportInterrupted(sentText());
        const std::size_t piece = std::min<std::size_t>(data.size() - sent, port.DataAreaSize());
        const std::size_t taken = port.Write(std::span(data).subspan(sent, piece));
        sent += taken;
        if (taken > 0) {
            pacer.Moved();
        } else if (pacer.IdleTooLong()) {
            throw quelta::Error(quelta::ErrorCode::TimedOut,
                                quelta::ShortDeviceName(port.Name()) + ": " + sentText() +
                                    "; the driver took none for " + Seconds(timeout) +
                                    " (transmit ring full: is flow control holding the line?)");
        } else {
            pacer.Pause();
        }
    }
    std::printf("%s: sent %zu bytes\n", quelta::ShortDeviceName(port.Name()).c_str(), data.size());
    return ExitOk;
}

// Where received bytes go: streamed as they come, or in hexadecimal, 16 a line, at the end.
class ReceivedOutput {
public:
    explicit ReceivedOutput(bool hex) : hex_(hex) {}

    void Add(std::span<const std::uint8_t> bytes) {
        if (hex_) {
            held_.insert(held_.end(), bytes.begin(), bytes.end());
            return;
        }
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);  // streamed as it comes, so a long receive shows progress
        lastByte_ = bytes.back();
    }

    void Finish() {
        for (std::size_t i = 0; i < held_.size(); ++i) {
            std::printf("%02x%c", held_[i], (i % 16 == 15 || i + 1 == held_.size()) ? '\n' : ' ');
        }
        if (lastByte_.has_value() && *lastByte_ != '\n' && isatty(STDOUT_FILENO)) {
            std::printf("\n");  // keep the shell prompt on its own line
        }
        std::fflush(stdout);
    }

private:
    bool hex_;
    std::vector<std::uint8_t> held_;
    std::optional<std::uint8_t> lastByte_;
};

int RunRecv(const Invocation& invocation) {
    const CommandLine& line = invocation.Line();
    const auto countText = line.Value("--count");
    const std::size_t wanted = countText ? ParseCount(*countText, "--count", 1UL << 30) : 0;
    const double timeout =
        TimeoutOption(line, countText ? DefaultRecvCountTimeout : DefaultRecvTimeout);
    CatchInterrupts();
    quelta::Device port = invocation.OpenExclusive(invocation.Argument(0, "device"));

    // With a count the time-out is the longest quiet spell; without one it is the whole window.
    PollPacer pacer(countText ? std::optional(ToMilliseconds(timeout)) : std::nullopt);
    const auto windowEnd = Clock::now() + ToMilliseconds(timeout);
    ReceivedOutput output(line.Has("--hex"));
    std::vector<std::uint8_t> buffer(port.DataAreaSize());
    std::size_t received = 0;
    while (!countText || received < wanted) {
        if (Interrupted()) {
            output.Finish();
            return ReportInterrupted("received " + std::to_string(received) +
                                     (countText ? " of " + std::to_string(wanted) : "") + " bytes");
        }
        std::size_t room = buffer.size();
        if (countText) room = std::min(room, wanted - received);
        const std::size_t count = port.Read(std::span(buffer.data(), room));
        if (count > 0) {
            output.Add(std::span(buffer.data(), count));
            received += count;
            pacer.Moved();
        }
        // Looked at after a read, so that even a window of 0 s prints what is waiting.
        const bool windowOver = !countText && Clock::now() >= windowEnd;
        if (windowOver || (count == 0 && pacer.IdleTooLong())) break;
        if (count == 0) pacer.Pause();
    }
    output.Finish();
    if (countText && received < wanted) {
        throw quelta::Error(quelta::ErrorCode::TimedOut,
                            quelta::ShortDeviceName(port.Name()) + ": received " +
                                std::to_string(received) + " of " + std::to_string(wanted) +
                                " bytes; nothing arrived for " + Seconds(timeout));
    }
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> TransferCommands() {
    // clang-format off
    return {
        {"send", "send DEV TEXT | send DEV --file FILE", "send text or a file's bytes",
         "Hands TEXT (as given, no newline added) or the bytes of FILE ('-' for standard input)\n"
         "to the driver and returns once the driver has taken them all; the driver sends them\n"
         "on at the port's baud rate. A TEXT that starts with '-' goes after '--'. A file is\n"
         "sent holding the device for this process alone (see --shared). Ctrl-C stops it at\n"
         "once, with the count sent so far (exit 130).\n\n"
         "Options:\n"
         "  --file FILE    send the bytes of FILE\n"
         "  --newline      append a newline\n"
         "  --timeout S    give up when the driver takes no byte for this long, the transmit\n"
         "                 ring staying full (default 5); a slow line that keeps draining never\n"
         "                 runs out of time\n"
         "  --shared       with --file: do not claim the device, so that others may use it too\n",
         {{"--file", true}, {"--newline", false}, {"--timeout", true}, {"--shared", false}}, 1, 2,
         RunSend},
        {"recv", "recv DEV [--count N] [--timeout S] [--hex]", "print received bytes",
         "Prints the bytes that arrive (and those already waiting) on standard output as they\n"
         "come. Without --count it prints what arrives within the time-out (default 1 s); with\n"
         "--count it stops after N bytes and fails (exit 1) when nothing arrives for the\n"
         "time-out (default 5 s) before then. Ctrl-C stops it at once with the count received\n"
         "so far on standard error (exit 130). It holds the device for this process alone (see\n"
         "--shared). Configure the port first (quelta config): a port never configured\n"
         "receives nothing.\n\n"
         "Options:\n"
         "  --count N      stop after N bytes\n"
         "  --timeout S    without --count, how long to listen; with it, how long nothing may\n"
         "                 arrive before it gives up\n"
         "  --hex          print the bytes in hexadecimal, 16 a line\n"
         "  --shared       do not claim the device: other clients may read from it meanwhile\n"
         "                 and take bytes away from this one\n",
         {{"--count", true}, {"--timeout", true}, {"--hex", false}, {"--shared", false}}, 1, 1,
         RunRecv},
    };
    // clang-format on
}

}  // namespace tool
