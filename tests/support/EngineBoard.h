// The port engine on a board of the simulated machine, brought up by the driver's own set-up
// steps on the description's first board (MapBoard, SetUpPort for every channel,
// PrepareInterruptContext, SilenceChannels, AttachBoardInterrupt): what StartBoard leaves, less
// the device channels, and with the clock taken from the board rather than read bit by bit from
// its EEPROM. Model tests and benchmarks share it through the support library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/host/HostMachine.h"
#include "port/PortRecord.h"
#include "tests/support/LineBuilder.h"

namespace testsupport {

// The time of one character of `bits` bits at a baud rate, in simulated picoseconds.
sim::SimTime CharTime(std::int32_t baud, double bits = 10);

class EngineBoard {
public:
    // Manual: simulated time moves only when Pump advances it, and interrupts are delivered by
    // host::DeliverInterrupts. Running: the description's pace, a line thread and an interrupt
    // service thread.
    enum class Mode { Manual, Running };

    EngineBoard(std::string_view description, Mode mode, const std::string& tracePath = {});
    ~EngineBoard();
    EngineBoard(const EngineBoard&) = delete;
    EngineBoard& operator=(const EngineBoard&) = delete;

    // Empty when the set-up worked, else what failed.
    const std::string& Failure() const { return failure_; }
    sim::Board& Board();
    PortRecord& Port(std::uint8_t index) { return *PortTable[index]; }

    // OpenPort then SetPortConfig, as a client's open and configuration do; false when refused.
    bool Open(std::uint8_t port, const LineConfig& line);
    std::uint32_t Write(std::uint8_t port, std::string_view bytes);
    std::string ReadAvailable(std::uint8_t port);
    // WritePort until all of it is taken, pumping meanwhile; false when it never was.
    bool WriteAll(std::uint8_t port, std::string_view bytes);

    // Manual time (a running board moves by itself): advances time by `duration` in steps,
    // delivering interrupts after each.
    void Pump(sim::SimTime duration);
    // Pumps until the condition holds; false after `limit` of simulated time.
    bool PumpUntil(const std::function<bool()>& condition, sim::SimTime limit);
    // Reads `port` until `count` bytes have come (or PumpUntil gives up).
    std::string Receive(std::uint8_t port, std::size_t count, sim::SimTime limit);
    void SetStep(sim::SimTime step) { step_ = step; }

private:
    std::string failure_;
    sim::SimTime step_ = CharTime(115200) / 4;
    std::uint8_t channels_ = 0;
};

}  // namespace testsupport
