#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "client/DeviceName.h"
#include "tools/Commands.h"

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
    const double timeout = line.Value("--timeout")
                               ? ParseSeconds(*line.Value("--timeout"), "--timeout")
                               : DefaultSendTimeout;
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    port.WriteAll(data, ToMilliseconds(timeout));
    std::printf("%s: sent %zu bytes\n", quelta::ShortDeviceName(port.Name()).c_str(), data.size());
    return ExitOk;
}

void PrintHex(const std::vector<std::uint8_t>& data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::printf("%02x%c", data[i], (i % 16 == 15 || i + 1 == data.size()) ? '\n' : ' ');
    }
}

int RunRecv(const Invocation& invocation) {
    const CommandLine& line = invocation.Line();
    const auto countText = line.Value("--count");
    const std::size_t wanted = countText ? ParseCount(*countText, "--count", 1UL << 30) : 0;
    const double timeout = line.Value("--timeout")
                               ? ParseSeconds(*line.Value("--timeout"), "--timeout")
                               : (countText ? DefaultRecvCountTimeout : DefaultRecvTimeout);
    const bool hex = line.Has("--hex");
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));

    const auto deadline = Clock::now() + ToMilliseconds(timeout);
    std::vector<std::uint8_t> received;
    std::vector<std::uint8_t> buffer(port.DataAreaSize());
    while (!countText || received.size() < wanted) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        std::size_t room = buffer.size();
        if (countText) room = std::min(room, wanted - received.size());
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        const std::size_t count = port.ReadSome(std::span(buffer.data(), room), left);
        if (count > 0 && !hex) {
            // Streamed as it comes, so a long receive shows progress.
            std::fwrite(buffer.data(), 1, count, stdout);
            std::fflush(stdout);
        }
        received.insert(received.end(), buffer.begin(), buffer.begin() + static_cast<long>(count));
    }
    if (hex) {
        PrintHex(received);
    } else if (!received.empty() && received.back() != '\n' && isatty(STDOUT_FILENO)) {
        std::printf("\n");  // keep the shell prompt on its own line
    }
    std::fflush(stdout);
    if (countText && received.size() < wanted) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeout);
        throw quelta::Error(quelta::ErrorCode::TimedOut,
                            quelta::ShortDeviceName(port.Name()) + ": received " +
                                std::to_string(received.size()) + " of " + std::to_string(wanted) +
                                " bytes within " + seconds + " s");
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
         "on at the port's baud rate. A TEXT that starts with '-' goes after '--'.\n\n"
         "Options:\n"
         "  --file FILE    send the bytes of FILE\n"
         "  --newline      append a newline\n"
         "  --timeout S    give up when the transmit ring stays full this long (default 5)\n",
         {{"--file", true}, {"--newline", false}, {"--timeout", true}}, 1, 2, RunSend},
        {"recv", "recv DEV [--count N] [--timeout S] [--hex]", "print received bytes",
         "Prints the bytes that arrive (and those already waiting) on standard output as they\n"
         "come. Without --count it stops after the time-out (default 1 s); with --count it stops\n"
         "after N bytes and fails (exit 1) when fewer arrived within the time-out (default 5 s).\n"
         "Configure the port first (quelta config): a port never configured receives nothing.\n\n"
         "Options:\n"
         "  --count N      stop after N bytes\n"
         "  --timeout S    seconds to wait in all\n"
         "  --hex          print the bytes in hexadecimal, 16 a line\n",
         {{"--count", true}, {"--timeout", true}, {"--hex", false}}, 1, 1, RunRecv},
    };
    // clang-format on
}

}  // namespace tool
