#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "client/DeviceName.h"
#include "tools/cli/HexDump.h"
#include "tools/cli/ProgressLine.h"
#include "tools/cli/TimeOfDay.h"
#include "tools/common/Commands.h"
#include "tools/common/DriverLink.h"
#include "tools/common/Interrupt.h"

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

double TimeoutOption(const Arguments& arguments, double otherwise) {
    const auto text = arguments.Value("--timeout");
    return text ? ParseSeconds(*text, "--timeout") : otherwise;
}

int RunSend(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    const auto file = arguments.Value("--file");
    const bool hasText = arguments.Positionals().size() > 1;
    if (file.has_value() == hasText) {
        throw UsageError("send takes either TEXT or --file FILE");
    }
    std::vector<std::uint8_t> data;
    if (file) {
        data = ReadInput(*file);
    } else {
        const std::string& text = arguments.Positionals()[1];
        data.assign(text.begin(), text.end());
    }
    if (arguments.Has("--newline")) data.push_back('\n');
    const double timeout = TimeoutOption(arguments, DefaultSendTimeout);
    CatchInterrupts();
    // A file is a transfer of its own; a short text may go in between another client's bytes.
    const std::string& device = invocation.Argument(0, "device");
    quelta::Device port = file ? invocation.OpenExclusive(device) : invocation.Open(device);

    // In pieces of one request each, so that the progress line moves between them. Each piece
    // waits for room in the ring as long as the time-out from the last byte the driver took.
    ProgressLine progress(data.size());
    const CancelOnInterrupt cancel({&port});
    std::size_t sent = 0;
    const auto sentText = [&] {
        return "sent " + std::to_string(sent) + " of " + std::to_string(data.size()) + " bytes";
    };
    while (sent < data.size()) {
        const std::size_t piece = std::min<std::size_t>(data.size() - sent, port.DataAreaSize());
        try {
            port.WriteAll(std::span(data).subspan(sent, piece), ToMilliseconds(timeout));
            sent += piece;
            progress.Update(sent);
        } catch (const quelta::Error& error) {
            const bool timedOut = error.Code() == quelta::ErrorCode::TimedOut;
            if (!timedOut && error.Code() != quelta::ErrorCode::Cancelled) throw;
            sent += error.Transferred();
            progress.Finish(sent);
            if (!timedOut) return ReportInterrupted(sentText());
            throw quelta::Error(quelta::ErrorCode::TimedOut,
                                quelta::ShortDeviceName(port.Name()) + ": " + sentText() +
                                    "; the driver took none for " + Seconds(timeout) +
                                    " (transmit ring full: is flow control holding the line?)");
        }
        if (Interrupted()) {
            progress.Finish(sent);
            return ReportInterrupted(sentText());
        }
    }
    progress.Finish(sent);
    std::printf("%s: sent %zu bytes\n", quelta::ShortDeviceName(port.Name()).c_str(), data.size());
    return ExitOk;
}

// Where received bytes go: as they are, or as a hexdump; with --timestamps each chunk (or hex
// line) starts with the time it arrived.
class ReceivedOutput {
public:
    ReceivedOutput(bool hex, bool timestamps) : hex_(hex), timestamps_(timestamps) {}

    void Add(std::span<const std::uint8_t> bytes) {
        arrived_ = std::chrono::system_clock::now();
        if (hex_) {
            PrintLines(dump_.Add(bytes));
        } else {
            if (timestamps_) std::fputs(Stamp().c_str(), stdout);
            std::fwrite(bytes.data(), 1, bytes.size(), stdout);
            lastByte_ = bytes.back();
        }
        std::fflush(stdout);  // streamed as it comes, so a long receive shows progress
    }

    void Finish() {
        if (hex_) {
            PrintLines(dump_.Finish());
        } else if (lastByte_.has_value() && *lastByte_ != '\n' && isatty(STDOUT_FILENO)) {
            std::printf("\n");  // keep the shell prompt on its own line
        }
        std::fflush(stdout);
    }

private:
    std::string Stamp() const { return "[" + TimeOfDay(arrived_) + "] "; }
    void PrintLines(const std::vector<std::string>& lines) const {
        for (const std::string& line : lines) {
            std::printf("%s%s\n", timestamps_ ? Stamp().c_str() : "", line.c_str());
        }
    }

    bool hex_;
    bool timestamps_;
    HexDump dump_;
    std::chrono::system_clock::time_point arrived_;
    std::optional<std::uint8_t> lastByte_;
};

int RunRecv(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    const auto countText = arguments.Value("--count");
    const bool follow = arguments.Has("--follow");
    if (follow && (countText || arguments.Has("--timeout"))) {
        throw UsageError("--follow takes neither --count nor --timeout");
    }
    const std::size_t wanted = countText ? ParseCount(*countText, "--count", 1UL << 30) : 0;
    const double timeout =
        TimeoutOption(arguments, countText ? DefaultRecvCountTimeout : DefaultRecvTimeout);
    CatchInterrupts();
    DriverLink link(invocation, invocation.Argument(0, "device"), DriverEnd::Fail);
    quelta::Device& port = link.Port();

    // With a count the time-out is the longest quiet spell; without one it is the whole window.
    const auto windowEnd = Clock::now() + ToMilliseconds(timeout);
    ReceivedOutput output(arguments.Has("--hex"), arguments.Has("--timestamps"));
    std::vector<std::uint8_t> buffer(port.DataAreaSize());
    std::size_t received = 0;
    while (!countText || received < wanted) {
        if (Interrupted()) {
            output.Finish();
            if (follow) {
                // Following ends with Ctrl-C by design: no complaint, only the count.
                std::fprintf(stderr, "quelta: received %zu bytes\n", received);
                return ExitInterrupted;
            }
            return ReportInterrupted("received " + std::to_string(received) +
                                     (countText ? " of " + std::to_string(wanted) : "") + " bytes");
        }
        std::size_t room = buffer.size();
        if (countText) room = std::min(room, wanted - received);
        // Following, a quiet spell of the library's driver check ends in a request: a driver
        // that has stopped answering raises no event, and asking says so as before.
        std::chrono::milliseconds wait = quelta::DefaultDriverCheck;
        if (countText) {
            wait = ToMilliseconds(timeout);
        } else if (!follow) {
            // Even a window of 0 s reads what is waiting.
            wait = std::max(
                std::chrono::duration_cast<std::chrono::milliseconds>(windowEnd - Clock::now()),
                std::chrono::milliseconds::zero());
        }
        std::size_t count = 0;
        try {
            // Made for each wait: a recovery below opens the device afresh.
            const CancelOnInterrupt cancel({&port});
            count = port.ReadSome(std::span(buffer.data(), room), wait);
            if (follow && count == 0 && !Interrupted()) (void)port.GetRxCount();
        } catch (const quelta::Error& error) {
            // Following, a driver that stalls is waited for; one that has ended ends it.
            if (!follow) throw;
            link.Recover(error, [](quelta::Device&) {});
            continue;
        }
        if (count > 0) {
            output.Add(std::span(buffer.data(), count));
            received += count;
        }
        const bool windowOver = !countText && !follow && Clock::now() >= windowEnd;
        if (windowOver || (count == 0 && countText && !Interrupted())) break;
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
         "sent holding the device for this process alone (see --shared). On a terminal, a send\n"
         "that takes longer than a second shows its progress and rate on standard error.\n"
         "Ctrl-C stops it at once, with the count sent so far (exit 130).\n\n"
         "Options:\n"
         "  --file FILE    send the bytes of FILE\n"
         "  --newline      append a newline\n"
         "  --timeout S    give up when the driver takes no byte for this long, the transmit\n"
         "                 ring staying full (default 5); a slow line that keeps draining never\n"
         "                 runs out of time\n"
         "  --shared       with --file: do not claim the device, so that others may use it too\n",
         {{"--file", true}, {"--newline", false}, {"--timeout", true}, {"--shared", false}}, 1, 2,
         RunSend},
        {"recv", "recv DEV [--count N] [--timeout S] [--follow] [--hex]",
         "print received bytes",
         "Prints the bytes that arrive (and those already waiting) on standard output as they\n"
         "come. Without --count it prints what arrives within the time-out (default 1 s); with\n"
         "--count it stops after N bytes and fails (exit 1) when nothing arrives for the\n"
         "time-out (default 5 s) before then; with --follow it goes on until Ctrl-C, waiting\n"
         "through a driver that stops answering for a while (not one that has ended). Ctrl-C\n"
         "stops it at once with the count received so far on standard error (exit 130). It\n"
         "holds the device for this process alone (see --shared). Configure the port first\n"
         "(quelta config): a port never configured receives nothing.\n\n"
         "Options:\n"
         "  --count N      stop after N bytes\n"
         "  --timeout S    without --count, how long to listen; with it, how long nothing may\n"
         "                 arrive before it gives up\n"
         "  --follow       print what arrives until Ctrl-C, with no count and no time-out\n"
         "  --hex          hexdump -C style: offset, 16 bytes in hexadecimal, the printable ones\n"
         "                 as text; each line shows once its 16 bytes are there\n"
         "  --timestamps   start each chunk received (each line with --hex) with its time of\n"
         "                 arrival, [12:34:56.789]\n"
         "  --shared       do not claim the device: other clients may read from it meanwhile\n"
         "                 and take bytes away from this one\n",
         {{"--count", true}, {"--timeout", true}, {"--follow", false}, {"--hex", false},
          {"--timestamps", false}, {"--shared", false}}, 1, 1, RunRecv},
    };
    // clang-format on
}

}  // namespace tool
