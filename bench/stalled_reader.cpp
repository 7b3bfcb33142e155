// A reader that stops reading during a stream across a null-modem pair: the bytes lost and the
// writer's longest hold (the longest stretch in which the port took none of its bytes), for
// stalls of 0.1, 1 and 10 s at 115,200 and 921,600 baud, without flow control, with automatic
// RTS/CTS and with XON/XOFF. The stream runs one second of line time longer than the stall and
// the stall begins 0.2 s into it. Simulated time, interrupts delivered after every 8 character
// times, so the figures are the engine's and the model's, not the host's.
//
// Usage: bench_stalled_reader
#include <chrono>
#include <cstdio>

#include "EngineBoard.h"
#include "StalledReader.h"
#include "port/PortOps.h"
#include "port/PortReport.h"
#include "sim/Description.h"

namespace {

struct Flow {
    const char* name;
    std::uint8_t flowControl;
    std::uint32_t softwareFlow;
};

double Seconds(sim::SimTime t) {
    return static_cast<double>(t) / static_cast<double>(sim::PicosecondsPerSecond);
}

void Run(std::int32_t baud, double stallSeconds, const Flow& flow) {
    testsupport::EngineBoard engine(sim::DefaultDescriptionText(),
                                    testsupport::EngineBoard::Mode::Manual);
    if (!engine.Failure().empty()) {
        std::fprintf(stderr, "%s\n", engine.Failure().c_str());
        return;
    }
    engine.SetStep(testsupport::CharTime(baud) * 8);
    const LineConfig line = testsupport::Line(
        {.baudRate = baud, .softwareFlow = flow.softwareFlow, .flowControl = flow.flowControl});
    engine.Open(0, line);
    engine.Open(1, line);
    const auto stall = static_cast<sim::SimTime>(stallSeconds * 1e12);
    const double bytesPerSecond = baud / 10.0;
    const std::string stream =
        testsupport::FlowSafeStream(static_cast<std::size_t>((stallSeconds + 1) * bytesPerSecond));
    const auto wallStart = std::chrono::steady_clock::now();
    const testsupport::StallOutcome outcome =
        testsupport::RunStalledReader(engine, 0, 1, stream, 200 * sim::Millisecond, stall,
                                      3 * stall + 5 * sim::PicosecondsPerSecond);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("%7d  %5.1f s  %-16s %9zu %9zu %9u %6llu %9.3f s %7.1f s\n", baud, stallSeconds,
                flow.name, stream.size(), stream.size() - outcome.received.size(),
                PortReports[1].ringOverruns.load(),
                static_cast<unsigned long long>(engine.Board().ChannelStats(1).overruns),
                Seconds(outcome.longestWriterHold), wall);
}

}  // namespace

int main() {
    const Flow flows[] = {
        {"no flow control", 0, 0}, {"RTS/CTS", FlowControl::RtsCts, 0}, {"XON/XOFF", 0, 1}};
    std::printf("Stalled reader across a null-modem pair (simulated time):\n");
    std::printf(
        "   baud  stall    flow control      stream      lost  ringOvr  fifoOvr  "
        "writer held   (wall)\n");
    for (const std::int32_t baud : {115200, 921600}) {
        for (const double stall : {0.1, 1.0, 10.0}) {
            for (const Flow& flow : flows) {
                Run(baud, stall, flow);
            }
        }
    }
    return 0;
}
