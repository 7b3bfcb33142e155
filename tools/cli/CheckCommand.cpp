#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"
#include "tools/common/Interrupt.h"

namespace tool {
namespace {

int RunLoopback(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    const std::string& senderName = invocation.Argument(0, "device");
    const std::string receiverName =
        arguments.Positionals().size() > 1 ? arguments.Positionals()[1] : senderName;
    const std::size_t count = arguments.Value("--count")
                                  ? ParseCount(*arguments.Value("--count"), "--count", 1UL << 24)
                                  : 256;
    const double timeout = arguments.Value("--timeout")
                               ? ParseSeconds(*arguments.Value("--timeout"), "--timeout")
                               : 5.0;

    CatchInterrupts();
    // Both ends claimed: another client's bytes or reads would spoil the pattern. A channel wired
    // to itself is one device, opened (and claimed) once.
    quelta::Device sender = invocation.OpenExclusive(senderName);
    std::optional<quelta::Device> peer;
    if (quelta::FullDeviceName(receiverName) != sender.Name()) {
        peer.emplace(invocation.OpenExclusive(receiverName));
    }
    quelta::Device& receiver = peer ? *peer : sender;
    std::vector<std::uint8_t> stale(receiver.DataAreaSize());
    while (receiver.Read(stale) > 0) {}
    const std::uint8_t errorsBefore = receiver.GetLineErrors().raw;

    std::vector<std::uint8_t> pattern(count);
    for (std::size_t i = 0; i < count; ++i) pattern[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const auto start = Clock::now();
    std::vector<std::uint8_t> received(count);
    std::size_t sent = 0;
    std::size_t got = 0;
    // Send and receive together: a pattern longer than the rings would stall otherwise. Whatever
    // the ring takes goes out, then the loop sleeps until bytes come back, which is also when the
    // ring has room again. The time-out is the longest spell in which neither end moves a byte.
    const CancelOnInterrupt cancel({&sender, &receiver});
    auto lastMove = Clock::now();
    while (got < count) {
        if (Interrupted()) {
            return ReportInterrupted("sent " + std::to_string(sent) + " of " +
                                     std::to_string(count) + " bytes, " + std::to_string(got) +
                                     " came back");
        }
        const std::size_t out = sent < count ? sender.Write(std::span(pattern).subspan(sent)) : 0;
        sent += out;
        if (out > 0) lastMove = Clock::now();
        const auto quietLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
            lastMove + ToMilliseconds(timeout) - Clock::now());
        const std::size_t in = receiver.ReadSome(std::span(received).subspan(got),
                                                 std::max(quietLeft, std::chrono::milliseconds(0)));
        got += in;
        if (in > 0) {
            lastMove = Clock::now();
        } else if (!Interrupted() && Clock::now() - lastMove >= ToMilliseconds(timeout)) {
            break;
        }
    }
    const double milliseconds =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const std::string route =
        quelta::ShortDeviceName(sender.Name()) + " -> " + quelta::ShortDeviceName(receiver.Name());
    // Lost bytes are often explained by the line errors that came with them.
    const std::uint8_t newErrors = receiver.GetLineErrors().raw & ~errorsBefore;
    const std::string errorText =
        newErrors != 0 ? "line errors " + quelta::FlagList(newErrors, quelta::LineErrorFlags())
                       : "";
    if (got < count) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeout);
        throw quelta::Error(quelta::ErrorCode::TimedOut,
                            "loopback " + route + ": " + std::to_string(got) + " of " +
                                std::to_string(count) + " bytes came back; nothing moved for " +
                                seconds + " s" + (newErrors != 0 ? " (" + errorText + ")" : ""));
    }
    const auto mismatch = std::mismatch(pattern.begin(), pattern.end(), received.begin());
    if (mismatch.first != pattern.end()) {
        throw quelta::Error(quelta::ErrorCode::ProtocolError,
                            "loopback " + route + ": byte " +
                                std::to_string(mismatch.first - pattern.begin()) + " differs");
    }
    if (newErrors != 0) {
        throw quelta::Error(quelta::ErrorCode::ProtocolError,
                            "loopback " + route + ": " + errorText);
    }
    std::printf("loopback %s: %zu bytes OK in %.1f ms\n", route.c_str(), count, milliseconds);
    return ExitOk;
}

int RunBench(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    const std::size_t requests =
        arguments.Value("--requests")
            ? ParseCount(*arguments.Value("--requests"), "--requests", 10000000)
            : 10000;
    if (requests == 0) throw UsageError("--requests must be at least 1");
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    std::vector<double> microseconds;
    microseconds.reserve(requests);
    for (std::size_t i = 0; i < requests; ++i) {
        const auto start = Clock::now();
        port.GetLineErrors();
        microseconds.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(microseconds.begin(), microseconds.end());
    const auto at = [&](double fraction) {
        return microseconds[std::min(
            microseconds.size() - 1,
            static_cast<std::size_t>(fraction * static_cast<double>(microseconds.size())))];
    };
    std::printf(
        "%s: %zu SerialGetLineErrors round trips: median %.2f us, p99 %.2f us, max %.2f us\n",
        quelta::ShortDeviceName(port.Name()).c_str(), requests, at(0.5), at(0.99),
        microseconds.back());
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> CheckCommands() {
    // clang-format off
    return {
        {"loopback", "loopback DEV [PEER] [--count N] [--timeout S]",
         "send a test pattern and check it comes back",
         "Sends N bytes (default 256) on DEV and reads them back on PEER (default DEV itself,\n"
         "for a channel wired in loopback), then checks the bytes and that no new line errors\n"
         "appeared. Bytes already waiting on PEER are discarded first. Both devices are held\n"
         "for this process alone (see --shared). Ctrl-C stops it at once with the counts so far\n"
         "(exit 130). Configure both ports alike first (quelta config).\n\n"
         "Options:\n"
         "  --count N      bytes to send (default 256)\n"
         "  --timeout S    give up when no byte goes out or comes back for this long (default\n"
         "                 5); a long pattern on a slow line never runs out of time\n"
         "  --shared       do not claim the devices, so that others may use them too\n",
         {{"--count", true}, {"--timeout", true}, {"--shared", false}}, 1, 2, RunLoopback},
        {"bench", "bench DEV [--requests N]", "measure the request round trip",
         "Sends N cheap requests (SerialGetLineErrors, default 10000) and prints the median,\n"
         "99th percentile and longest round trip through the driver.\n\n"
         "Options:\n"
         "  --requests N   how many requests\n",
         {{"--requests", true}}, 1, 1, RunBench},
    };
    // clang-format on
}

}  // namespace tool
