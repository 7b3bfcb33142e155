// Eight ports at full speed through the whole driver: quelta-driver on the default machine (its
// eight channels in four null-modem pairs, real-time pace), every port at 921,600 baud 8N1 with
// automatic RTS/CTS, every port sending its own stream and reading its peer's, full duplex.
// This process is the client: each round it offers every port a data area's worth of its
// stream and takes what has arrived, then sleeps until the next round, as a program that
// services eight ports from one loop would. Reported: the share of the line each port
// received while measuring, bytes lost or out of place over the whole run (after a final
// drain), the ports' own error counts, and the driver process's CPU time per megabyte moved and
// context switches per second (each interrupt or request handed from one thread to another
// costs one or two).
//
// Usage: bench_eight_ports [--seconds N] [--round-ms M] (default 10 s measured after 1 s of
// warm-up, rounds every 5 ms; the reference run is --seconds 60). RTSS_REALTIME=1 in the
// environment reaches the driver.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchDriver.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int Ports = 8;
constexpr std::int32_t Baud = 921600;
constexpr double LineBytesPerSecond = Baud / 10.0;  // 8N1: ten bits a byte

// Byte n of port p's stream: different for every port, so a byte in the wrong place shows.
std::uint8_t StreamByte(int port, std::uint64_t n) {
    return static_cast<std::uint8_t>((n * 131 + static_cast<std::uint64_t>(port) * 17 + (n >> 8)) &
                                     0xFF);
}

double Option(int argc, char** argv, const std::string& name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) return std::stod(argv[i + 1]);
    }
    return fallback;
}

struct Streams {
    std::array<std::uint64_t, Ports> sent{};
    std::array<std::uint64_t, Ports> received{};
    std::uint64_t misplaced = 0;
};

// One round: every port is offered what it may send and gives what has arrived. Returns the
// bytes received.
std::uint64_t Round(std::vector<quelta::Device>& ports, Streams& streams, bool writing) {
    std::vector<std::uint8_t> buffer(ports.front().DataAreaSize());
    std::uint64_t received = 0;
    for (int port = 0; port < Ports; ++port) {
        if (writing) {
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                buffer[i] = StreamByte(port, streams.sent[port] + i);
            }
            streams.sent[port] += ports[port].Write(buffer);
        }
        const std::size_t count = ports[port].Read(buffer);
        const int peer = port ^ 1;
        for (std::size_t i = 0; i < count; ++i) {
            if (buffer[i] != StreamByte(peer, streams.received[port]++)) ++streams.misplaced;
        }
        received += count;
    }
    return received;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = Option(argc, argv, "--seconds", 10);
    const auto roundPeriod = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(Option(argc, argv, "--round-ms", 5)));
    benchdriver::Driver driver("eight");
    std::vector<quelta::Device> ports;
    for (int port = 0; port < Ports; ++port) {
        ports.push_back(benchdriver::OpenWhenReady("Serial" + std::to_string(port)));
        ports.back().Configure({.baudRate = Baud, .flowControl = FlowControl::RtsCts});
    }
    Streams streams;
    const auto runFor = [&](Clock::duration span) {
        const auto end = Clock::now() + span;
        for (auto next = Clock::now(); next < end; next += roundPeriod) {
            Round(ports, streams, true);
            std::this_thread::sleep_until(next + roundPeriod);
        }
    };
    runFor(1s);
    const std::array<std::uint64_t, Ports> receivedBefore = streams.received;
    const double cpuBefore = benchdriver::ProcessCpuSeconds(driver.Pid());
    const unsigned long long switchesBefore = benchdriver::ProcessContextSwitches(driver.Pid());
    const auto start = Clock::now();
    runFor(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const double measured = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = benchdriver::ProcessCpuSeconds(driver.Pid()) - cpuBefore;
    const unsigned long long switches =
        benchdriver::ProcessContextSwitches(driver.Pid()) - switchesBefore;
    // Drain: take what is still on its way until a fifth of a second brings nothing.
    for (auto quietSince = Clock::now(); Clock::now() - quietSince < 200ms;) {
        if (Round(ports, streams, false) != 0) quietSince = Clock::now();
        std::this_thread::sleep_for(roundPeriod);
    }

    std::printf(
        "8 ports at %d baud 8N1, RTS/CTS, full duplex, %.1f s measured, rounds every "
        "%.1f ms:\n",
        Baud, measured, std::chrono::duration<double, std::milli>(roundPeriod).count());
    std::uint64_t moved = 0, lost = 0;
    double lowest = 100;
    quelta::ErrorCounts errors;
    for (int port = 0; port < Ports; ++port) {
        const std::uint64_t received = streams.received[port] - receivedBefore[port];
        const double share =
            100.0 * static_cast<double>(received) / (LineBytesPerSecond * measured);
        lowest = std::min(lowest, share);
        moved += received;
        lost += streams.sent[port ^ 1] - streams.received[port];
        const quelta::ErrorCounts counts = ports[port].GetErrorCounts();
        errors.overruns += counts.overruns;
        errors.ringOverruns += counts.ringOverruns;
        std::printf("  Serial%d  %6.2f %% of the line\n", port, share);
    }
    std::printf(
        "  lowest %.2f %%; bytes lost %llu, out of place %llu; FIFO overruns %u, ring "
        "overruns %u\n",
        lowest, static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(streams.misplaced), errors.overruns, errors.ringOverruns);
    std::printf("  driver: %.2f cores, %.3f CPU s per MB moved, %.0f context switches/s\n",
                cpu / measured, cpu / (static_cast<double>(moved) / 1e6),
                static_cast<double>(switches) / measured);
    return 0;
}
