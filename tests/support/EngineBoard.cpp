#include "tests/support/EngineBoard.h"

#include "hw/BoardClock.h"
#include "hw/LineDriver.h"
#include "hw/PciConfig.h"
#include "platform/Rtss.h"
#include "port/Isr.h"
#include "port/PortOps.h"
#include "port/ReceiveHold.h"
#include "port/Rings.h"
#include "server/DeviceNames.h"
#include "startup/BoardModels.h"
#include "startup/BoardSetup.h"

namespace testsupport {

sim::SimTime CharTime(std::int32_t baud, double bits) {
    return static_cast<sim::SimTime>(bits * static_cast<double>(sim::PicosecondsPerSecond) / baud);
}

EngineBoard::EngineBoard(std::string_view description, Mode mode, const std::string& tracePath) {
    sim::MachineOptions options;
    options.manualTime = mode == Mode::Manual;
    options.tracePath = tracePath;
    sim::LoadedMachine loaded = sim::LoadMachine(description, "description", options);
    if (!loaded.machine) {
        failure_ = loaded.error;
        return;
    }
    host::InstallMachine(std::move(loaded.machine), mode == Mode::Manual
                                                        ? host::InterruptDelivery::Manual
                                                        : host::InterruptDelivery::Threads);
    const sim::BoardIdentity& board = Board().Identity();
    std::uint8_t header[Pci::HeaderSize] = {};
    RtGetBusDataByOffset(RtValue::PciConfiguration, board.bus,
                         board.device | board.function << Pci::FunctionShift, header, 0,
                         Pci::HeaderSize);
    pinsReady = false;  // a new board: its pins need their set-up again
    if (!MapBoard(header)) {
        failure_ = "the board does not map";
        return;
    }
    channels_ =
        ChannelCountOf(ConfigWord(header, Pci::SubsystemId), ConfigWord(header, Pci::DeviceId));
    for (std::uint8_t n = 0; n < channels_; ++n) {
        SetUpPort(n, header);
    }
    boardClockHz = board.clockHz;
    PrepareInterruptContext(header);
    SilenceChannels(channels_);
    if (AttachBoardInterrupt(header, board.bus, 0) != 0) {
        failure_ = "the interrupt does not attach";
    }
}

EngineBoard::~EngineBoard() {
    host::RemoveMachine();
    for (std::uint8_t n = 0; n < channels_; ++n) {
        RtFreeLockedMemory(PortTable[n]);
        PortTable[n] = nullptr;
        ReceiveHeld[n].store(0);
        DeviceNameTable[n] = {};
    }
    isrContext = {};
    boardClockHz = 0;
    boardBase = nullptr;
    boardInterrupt = nullptr;  // detached with the machine
}

sim::Board& EngineBoard::Board() { return host::CurrentMachine().GetBoard(0); }

bool EngineBoard::Open(std::uint8_t port, const LineConfig& line) {
    OpenPort(port);
    return SetPortConfig(port, Bytes(line)) == 0;
}

std::uint32_t EngineBoard::Write(std::uint8_t port, std::string_view bytes) {
    std::uint32_t taken = 0;
    WritePort(port, reinterpret_cast<const std::uint8_t*>(bytes.data()),
              static_cast<std::uint32_t>(bytes.size()), &taken);
    return taken;
}

std::string EngineBoard::ReadAvailable(std::uint8_t port) {
    std::string bytes;
    std::uint8_t buffer[1024];
    for (std::uint32_t count = 1; count != 0;) {
        ReadPort(port, buffer, sizeof buffer, &count);
        bytes.append(reinterpret_cast<const char*>(buffer), count);
    }
    return bytes;
}

bool EngineBoard::WriteAll(std::uint8_t port, std::string_view bytes) {
    std::size_t done = 0;
    return PumpUntil(
        [&] {
            done += Write(port, bytes.substr(done));
            return done == bytes.size();
        },
        60 * sim::PicosecondsPerSecond);
}

void EngineBoard::Pump(sim::SimTime duration) { host::RunMachine(duration, step_); }

bool EngineBoard::PumpUntil(const std::function<bool()>& condition, sim::SimTime limit) {
    for (sim::SimTime spent = 0; spent < limit; spent += step_) {
        if (condition()) return true;
        Pump(step_);
    }
    return condition();
}

std::string EngineBoard::Receive(std::uint8_t port, std::size_t count, sim::SimTime limit) {
    std::string received;
    PumpUntil(
        [&] {
            received += ReadAvailable(port);
            return received.size() >= count;
        },
        limit);
    return received;
}

}  // namespace testsupport
