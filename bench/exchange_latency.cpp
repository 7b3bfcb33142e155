// The time a short command and its answer take, the shape of Modbus RTU and most command
// protocols: an 8-byte frame written to Serial0, read whole from Serial1 and written back, read
// whole from Serial0 again, across the default machine's null-modem pair in real time, through
//   - the C++ client library (ReadExact and WriteAll);
//   - pyserial on quelta:// URLs (/usr/bin/python3, the handler over the shared client library);
//   - pyserial on the pseudo-terminals of two `quelta pty` bridges;
//   - pyserial's rfc2217:// client on two `quelta serve` RFC 2217 servers;
// at 115,200 and 921,600 baud 8N1. The driver programs a receive trigger of 56, so an 8-byte
// frame reaches the receive ring only at the receive time-out, 4 character times after its last
// character: each way takes 12 character times, and the wire's floor for the exchange is 24.
// Reported: median and p99 of the exchanges, and the median's overhead above the floor.
//
// Usage: bench_exchange_latency [exchanges] (default 500 per path and rate).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "BenchDriver.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t FrameBytes = 8;
constexpr int WarmUp = 20;  // exchanges left out, as the pyserial side leaves them out
constexpr double FloorCharacters = 24;
constexpr std::int32_t Rates[] = {115200, 921600};

struct Figures {
    double median = 0;
    double p99 = 0;
    bool ok = false;
};

Figures Summarise(std::vector<double> microseconds) {
    if (microseconds.empty()) return {};
    std::sort(microseconds.begin(), microseconds.end());
    const auto at = [&](double fraction) {
        const auto index =
            static_cast<std::size_t>(fraction * static_cast<double>(microseconds.size()));
        return microseconds[std::min(index, microseconds.size() - 1)];
    };
    return {at(0.5), at(0.99), true};
}

Figures ThroughLibrary(std::int32_t baud, int count) {
    quelta::Device a = benchdriver::OpenWhenReady("Serial0");
    quelta::Device b = benchdriver::OpenWhenReady("Serial1");
    a.Configure({.baudRate = baud});
    b.Configure({.baudRate = baud});
    std::vector<double> times;
    for (int n = 0; n < WarmUp + count; ++n) {
        std::vector<std::uint8_t> frame(FrameBytes), echo(FrameBytes), back(FrameBytes);
        for (std::size_t i = 0; i < FrameBytes; ++i) frame[i] = static_cast<std::uint8_t>(n + i);
        const auto start = Clock::now();
        a.WriteAll(frame, 5s);
        b.ReadExact(echo, 5s);
        b.WriteAll(echo, 5s);
        a.ReadExact(back, 5s);
        const auto elapsed = Clock::now() - start;
        if (back != frame) return {};
        if (n >= WarmUp)
            times.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    return Summarise(std::move(times));
}

// The pyserial side in a python3 process of its own, on two ports that serial_for_url opens.
Figures ThroughPython(const benchdriver::Driver& driver, const std::string& first,
                      const std::string& second, std::int32_t baud, int count) {
    std::map<std::string, std::string> environment = driver.Environment();
    environment["PYTHONPATH"] = QUELTA_PYTHON_DIR;
    environment["QUELTA_CLIENT_LIBRARY"] = QUELTA_CLIENT_SHARED;
    testsupport::ChildProcess python("/usr/bin/python3",
                                     {QUELTA_BENCH_DIR "/exchange_latency.py", first, second,
                                      std::to_string(baud), std::to_string(count)},
                                     environment);
    if (python.Wait(600s) != 0) {
        std::fprintf(stderr, "pyserial on %s and %s: %s\n", first.c_str(), second.c_str(),
                     python.Err().c_str());
        return {};
    }
    std::istringstream lines(python.Out());
    std::vector<double> times;
    for (double t = 0; lines >> t;) times.push_back(t);
    return Summarise(std::move(times));
}

// Two bridges of the quelta tool, one on each port, for the length of a measurement.
Figures ThroughBridges(const benchdriver::Driver& driver, const std::string& command,
                       const std::string& readyText,
                       const std::function<std::vector<std::string>(int port)>& arguments,
                       const std::function<std::string(int port)>& url, std::int32_t baud,
                       int count) {
    std::vector<std::unique_ptr<testsupport::ChildProcess>> bridges;
    for (int port = 0; port < 2; ++port) {
        std::vector<std::string> words = {command, "Serial" + std::to_string(port)};
        for (std::string& word : arguments(port)) words.push_back(std::move(word));
        bridges.push_back(std::make_unique<testsupport::ChildProcess>(QUELTA_TOOL_PATH, words,
                                                                      driver.Environment()));
        if (!bridges.back()->WaitForOutput(readyText)) {
            std::fprintf(stderr, "quelta %s: %s\n", command.c_str(), bridges.back()->Err().c_str());
            return {};
        }
    }
    const Figures figures = ThroughPython(driver, url(0), url(1), baud, count);
    for (auto& bridge : bridges) bridge->Terminate();
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    benchdriver::Driver driver("latency");
    const std::string links = "/tmp/quelta-bench-" + driver.Namespace() + "-";
    const int tcpBase = 30000 + getpid() % 20000;
    const auto quelta = [](int port) { return "quelta://Serial" + std::to_string(port); };
    const auto link = [&](int port) { return links + std::to_string(port); };
    const auto tcp = [&](int port) { return std::to_string(tcpBase + port); };

    struct Path {
        const char* name;
        std::function<Figures(std::int32_t baud)> measure;
    };
    const std::vector<Path> paths = {
        {"C++ library", [&](std::int32_t baud) { return ThroughLibrary(baud, count); }},
        {"pyserial quelta://",
         [&](std::int32_t baud) {
             return ThroughPython(driver, quelta(0), quelta(1), baud, count);
         }},
        {"pyserial on 2 quelta pty",
         [&](std::int32_t baud) {
             return ThroughBridges(
                 driver, "pty", " -> /dev/",
                 [&](int port) { return std::vector<std::string>{link(port)}; }, link, baud, count);
         }},
        {"rfc2217:// on 2 quelta serve",
         [&](std::int32_t baud) {
             return ThroughBridges(
                 driver, "serve", "RFC 2217",
                 [&](int port) {
                     return std::vector<std::string>{"--port", tcp(port)};
                 },
                 [&](int port) { return "rfc2217://127.0.0.1:" + tcp(port); }, baud, count);
         }},
    };

    std::vector<std::vector<Figures>> table(paths.size());
    for (const std::int32_t baud : Rates) {
        for (std::size_t p = 0; p < paths.size(); ++p) {
            table[p].push_back(paths[p].measure(baud));
        }
    }

    std::printf(
        "8-byte frame out and its echo back, Serial0-Serial1 null-modem, 8N1, %d exchanges "
        "(microseconds):\n",
        count);
    std::printf("%-30s", "");
    for (const std::int32_t baud : Rates) {
        const double floor = FloorCharacters * 10.0 * 1e6 / baud;
        std::printf(" | %7d baud, floor %5.0f   ", baud, floor);
    }
    std::printf("\n%-30s", "path");
    for (std::size_t r = 0; r < std::size(Rates); ++r)
        std::printf(" | %7s %7s %9s", "median", "p99", "over");
    std::printf("\n");
    for (std::size_t p = 0; p < paths.size(); ++p) {
        std::printf("%-30s", paths[p].name);
        for (std::size_t r = 0; r < std::size(Rates); ++r) {
            const Figures& f = table[p][r];
            const double floor = FloorCharacters * 10.0 * 1e6 / Rates[r];
            if (f.ok) {
                std::printf(" | %7.0f %7.0f %+9.0f", f.median, f.p99, f.median - floor);
            } else {
                std::printf(" | %25s", "failed");
            }
        }
        std::printf("\n");
    }
    return 0;
}
