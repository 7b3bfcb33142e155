// Paced lines (pace 1.0: the programmed baud rates in real time), all 8 channels full duplex
// over 4 null-modem pairs: line utilisation (bytes received / bytes the 8 lines could carry)
// and overruns, for 115200 baud without flow control, 921600 with automatic RTS/CTS and 921600
// without. The host is not a real-time system: the figures show how close it comes. Run with
// RTSS_REALTIME=1 to give the threads the platform's real-time priorities (SCHED_FIFO where
// the system permits): the line thread above the interrupt service above the client loop.
//
// Usage: bench_model_paced_lines [--seconds N] (default 2 per case; the reference runs use 10).
#include <cstdio>
#include <string>

#include "bench/ModelTraffic.h"

namespace {

struct Case {
    const char* name;
    std::int32_t baud;
    std::uint8_t flowControl;
};

void Run(const Case& c, double seconds) {
    testsupport::EngineBoard engine(sim::DefaultDescriptionText(),
                                    testsupport::EngineBoard::Mode::Running);
    if (!engine.Failure().empty()) {
        std::fprintf(stderr, "%s\n", engine.Failure().c_str());
        return;
    }
    for (std::uint8_t port = 0; port < 8; ++port) {
        engine.Open(port, testsupport::Line({.baudRate = c.baud, .flowControl = c.flowControl}));
    }
    const modelbench::Traffic t = modelbench::RunTraffic(engine, 8, std::chrono::milliseconds(300),
                                                         std::chrono::duration<double>(seconds),
                                                         std::chrono::microseconds(500));
    const double capacity = 8.0 * c.baud / 10.0 * t.seconds;
    std::printf(
        "%-27s %4.1f s  utilisation %6.2f %%  CPU %.2f cores | whole run: FIFO overruns %llu, "
        "bytes lost %llu, ports flagged %u\n",
        c.name, t.seconds, 100.0 * static_cast<double>(t.bytesReceived) / capacity,
        t.cpuSeconds / t.seconds, static_cast<unsigned long long>(t.fifoOverruns),
        static_cast<unsigned long long>(t.bytesLost), t.portsWithOverrun);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = modelbench::SecondsOption(argc, argv, 2.0);
    std::printf("Paced lines, 8 channels full duplex:\n");
    Run(Case{"115200, no flow control", 115200, 0x00}, seconds);
    Run(Case{"921600, automatic RTS/CTS", 921600, 0x03}, seconds);
    Run(Case{"921600, no flow control", 921600, 0x00}, seconds);
    return 0;
}
