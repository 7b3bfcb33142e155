// Traffic for the model benchmarks: every port of an EngineBoard writes its own stream into its
// transmit ring and reads its receive ring, round after round, from this thread, as the request
// threads of eight busy clients would; the interrupt service thread and the machine's line
// thread do the rest.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "EngineBoard.h"
#include "platform/host/RealTime.h"

namespace modelbench {

struct Traffic {
    double seconds = 0;               // of measurement
    double cpuSeconds = 0;            // the whole process: engine, model, this loop
    std::uint64_t bytesReceived = 0;  // by all ports together, while measuring
    // Over the whole run, warm-up and the final drain included:
    std::uint64_t fifoOverruns = 0;      // characters the model lost to a full receive FIFO
    std::uint32_t portsWithOverrun = 0;  // lineErrors bit 1: FIFO overrun or ring full
    std::uint64_t bytesLost = 0;         // accepted by WritePort, never returned by ReadPort
    std::uint64_t mismatches = 0;        // received bytes not where the peer's stream has them
};

inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Byte n of port p's stream: different for every port, so a byte in the wrong place shows.
inline char StreamByte(std::uint32_t port, std::uint64_t n) {
    return static_cast<char>((n * 131 + port * 17 + (n >> 8)) & 0xFF);
}

// With RTSS_REALTIME=1 the loop runs where the driver's request threads would: SCHED_FIFO at
// priority 121 of 127, below the interrupt service thread. At normal priority a busy host
// preempts it inside its interrupt-disabled sections, which holds the interrupt service off
// for milliseconds: a priority inversion the target's single processor cannot have.
constexpr std::int32_t RequestThreadPriority = 121;

// Runs for `warmUp`, measures for `duration`, then stops writing and reads until nothing more
// arrives. `idle` is how long a round that moved nothing sleeps. `window` (0: none) caps the
// bytes a port has sent that its peer has not read yet, as a client protocol with
// acknowledgements would: unpaced lines fill a receive ring faster than any reader that has to
// wait for the CPU lock can empty it.
inline Traffic RunTraffic(testsupport::EngineBoard& engine, std::uint32_t ports,
                          std::chrono::duration<double> warmUp,
                          std::chrono::duration<double> duration, std::chrono::microseconds idle,
                          std::uint64_t window = 0) {
    using Clock = std::chrono::steady_clock;
    host::ApplyRealTimePriority(pthread_self(), RequestThreadPriority);
    std::array<std::uint64_t, 8> sent{};
    std::array<std::uint64_t, 8> received{};
    std::array<char, 8192> chunk{};
    Traffic traffic;
    // One round: every port writes what it may and reads what has come.
    const auto round = [&](bool writing) {
        std::uint64_t moved = 0;
        for (std::uint32_t port = 0; port < ports; ++port) {
            std::size_t length = writing ? chunk.size() : 0;
            if (window != 0) {
                const std::uint64_t inFlight = sent[port] - received[port ^ 1u];
                length =
                    inFlight >= window ? 0 : std::min<std::uint64_t>(length, window - inFlight);
            }
            for (std::size_t i = 0; i < length; ++i) {
                chunk[i] = StreamByte(port, sent[port] + i);
            }
            const std::uint32_t taken = length == 0
                                            ? 0
                                            : engine.Write(static_cast<std::uint8_t>(port),
                                                           std::string_view(chunk.data(), length));
            sent[port] += taken;
            const std::string bytes = engine.ReadAvailable(static_cast<std::uint8_t>(port));
            const std::uint32_t peer = port ^ 1u;
            for (const char byte : bytes) {
                if (byte != StreamByte(peer, received[port]++)) {
                    ++traffic.mismatches;
                }
            }
            moved += taken + bytes.size();
        }
        return moved;
    };
    const auto totalReceived = [&] {
        std::uint64_t total = 0;
        for (std::uint32_t port = 0; port < ports; ++port) {
            total += received[port];
        }
        return total;
    };
    const auto runFor = [&](std::chrono::duration<double> span) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
        while (Clock::now() < end) {
            if (round(true) == 0) {
                std::this_thread::sleep_for(idle);
            }
        }
    };
    runFor(warmUp);
    const double cpuAtStart = CpuSeconds();
    const std::uint64_t receivedAtStart = totalReceived();
    runFor(duration);
    traffic.cpuSeconds = CpuSeconds() - cpuAtStart;
    traffic.bytesReceived = totalReceived() - receivedAtStart;
    traffic.seconds = std::chrono::duration<double>(duration).count();
    // Drain: read until a tenth of a second passes with nothing new.
    for (auto quietSince = Clock::now();
         Clock::now() - quietSince < std::chrono::milliseconds(100);) {
        if (round(false) != 0) {
            quietSince = Clock::now();
        } else {
            std::this_thread::sleep_for(idle);
        }
    }
    for (std::uint32_t port = 0; port < ports; ++port) {
        traffic.bytesLost += sent[port] - received[port ^ 1u];
        traffic.fifoOverruns += engine.Board().ChannelStats(port).overruns;
        if ((engine.Port(static_cast<std::uint8_t>(port)).lineErrors.load() & Lsr::Overrun) != 0) {
            ++traffic.portsWithOverrun;
        }
    }
    return traffic;
}

// --seconds N on the command line, else the default.
inline double SecondsOption(int argc, char** argv, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds") {
            return std::stod(argv[i + 1]);
        }
    }
    return fallback;
}

}  // namespace modelbench
