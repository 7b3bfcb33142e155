// Register accesses per byte moved, as the simulated board counts them, for transmit bursts and
// receive bursts at the trigger level of 56 that OpenPort sets. The floor is one access per
// byte (the FIFO window) plus what each interrupt costs around its burst: the summary, the
// identification, two agreeing level readings, LSR on receive.
//
// Manual time with the interrupt delivered within a quarter character of being raised, so the
// figures are the same on every run. Usage: bench_model_access_per_byte [bytes] (default 56000).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "EngineBoard.h"

namespace {

constexpr std::int32_t Baud = 921600;

struct Figures {
    std::uint64_t bytes = 0;
    std::uint64_t accesses = 0;
    std::uint64_t interrupts = 0;  // service passes
};

template <typename Done>
std::uint64_t Pump(Done done) {
    const sim::SimTime step = testsupport::CharTime(Baud) / 4;
    std::uint64_t passes = 0;
    while (!done()) {
        host::CurrentMachine().Advance(step);
        passes += host::DeliverInterrupts();
    }
    return passes;
}

void Report(const char* what, const Figures& f) {
    const double perByte = static_cast<double>(f.accesses) / static_cast<double>(f.bytes);
    const double perInterrupt =
        static_cast<double>(f.accesses - f.bytes) / static_cast<double>(f.interrupts);
    std::printf(
        "%-9s %8llu bytes  %8llu accesses  %6.3f accesses/byte  %6llu interrupts  "
        "%5.1f bytes/interrupt  %4.1f overhead accesses/interrupt\n",
        what, static_cast<unsigned long long>(f.bytes), static_cast<unsigned long long>(f.accesses),
        perByte, static_cast<unsigned long long>(f.interrupts),
        static_cast<double>(f.bytes) / static_cast<double>(f.interrupts), perInterrupt);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 56000;
    // Channels 0 and 1 open: the benchmark is the far end of both.
    testsupport::EngineBoard engine(
        std::string(sim::DefaultBoardStatement) + "channel 0 open\nchannel 1 open\n",
        testsupport::EngineBoard::Mode::Manual);
    if (!engine.Failure().empty()) {
        std::fprintf(stderr, "%s\n", engine.Failure().c_str());
        return 1;
    }
    engine.Open(0, testsupport::Line({.baudRate = Baud}));
    engine.Open(1, testsupport::Line({.baudRate = Baud}));
    Pump([&] { return host::DeliverInterrupts() == 0; });
    sim::Board& board = engine.Board();

    // Transmit: port 0 sends into an open line.
    board.ResetCounters();
    const std::string out(bytes, 'T');
    std::size_t written = 0;
    Figures transmit;
    transmit.interrupts = Pump([&] {
        written += engine.Write(0, std::string_view(out).substr(written));
        return written == out.size() && engine.Port(0).txCount.load() == 0 &&
               engine.Port(0).txActive.load() == 0;
    });
    transmit.bytes = board.Counters().burstWrites;
    transmit.accesses = board.Counters().loads + board.Counters().stores;

    // Receive: the far end of port 1 sends without pause.
    board.ResetCounters();
    board.Inject(1, std::vector<std::uint8_t>(bytes, 'R'));
    std::size_t read = 0;
    Figures receive;
    receive.interrupts = Pump([&] {
        read += engine.ReadAvailable(1).size();
        return read == bytes;
    });
    receive.bytes = board.Counters().burstReads;
    receive.accesses = board.Counters().loads + board.Counters().stores;

    std::printf(
        "Register accesses per byte at trigger 56, %d baud, interrupt within 1/4 character:\n",
        Baud);
    Report("transmit", transmit);
    Report("receive", receive);
    return 0;
}
