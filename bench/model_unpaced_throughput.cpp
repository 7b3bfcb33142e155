// Unpaced lines (pace 0): how fast bytes go from the driver's transmit rings to the peer ports'
// receive rings through the model, all 8 channels full duplex over 4 null-modem pairs, and the
// CPU that costs (this process: engine, interrupt service thread, model, line thread, and the
// loop that plays the clients). The lines run as fast as the FIFOs allow, so what limits the
// rate is the software, not a baud rate. The clients keep at most a ring's worth less 1024
// bytes unread per direction: with lines this fast the interrupt service would otherwise fill
// the receive rings while it holds the CPU lock and the readers wait for it.
//
// Usage: bench_model_unpaced_throughput [--seconds N] (default 3) [--trace FILE]: with a trace,
// what writing every register access to FILE as it happens costs.
#include <cstdio>
#include <string>

#include "bench/ModelTraffic.h"

int main(int argc, char** argv) {
    const double seconds = modelbench::SecondsOption(argc, argv, 3.0);
    std::string trace;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--trace") trace = argv[i + 1];
    }
    testsupport::EngineBoard engine(sim::DefaultDescriptionText("0"),
                                    testsupport::EngineBoard::Mode::Running, trace);
    if (!engine.Failure().empty()) {
        std::fprintf(stderr, "%s\n", engine.Failure().c_str());
        return 1;
    }
    for (std::uint8_t port = 0; port < 8; ++port) {
        engine.Open(port, testsupport::Line({.baudRate = 921600}));
    }
    const modelbench::Traffic t = modelbench::RunTraffic(
        engine, 8, std::chrono::milliseconds(200), std::chrono::duration<double>(seconds),
        std::chrono::microseconds(50), RingSize - 1024);
    const double rate = static_cast<double>(t.bytesReceived) / t.seconds;
    const sim::BoardCounters counters = engine.Board().Counters();
    std::printf("Unpaced, 8 channels full duplex, %.1f s%s:\n", t.seconds,
                trace.empty() ? "" : ", every register access traced");
    std::printf(
        "  %.0f bytes/s in total (%.0f per channel), %.2f CPU cores, %.0f ns CPU per byte\n", rate,
        rate / 8, t.cpuSeconds / t.seconds,
        t.cpuSeconds * 1e9 / static_cast<double>(t.bytesReceived));
    std::printf(
        "  %.2f register accesses per byte moved; %llu FIFO overruns, %llu bytes lost, "
        "%llu out of place\n",
        static_cast<double>(counters.loads + counters.stores) /
            static_cast<double>(counters.burstReads + counters.burstWrites),
        static_cast<unsigned long long>(t.fifoOverruns),
        static_cast<unsigned long long>(t.bytesLost),
        static_cast<unsigned long long>(t.mismatches));
    return 0;
}
