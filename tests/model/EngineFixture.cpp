#include "tests/model/EngineFixture.h"

#include <chrono>
#include <thread>

#include "hw/BoardClock.h"
#include "hw/LineDriver.h"
#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/Isr.h"
#include "port/PortOps.h"
#include "port/Rings.h"

namespace modeltest {

sim::SimTime CharTime(std::int32_t baud, double bits) {
    return static_cast<sim::SimTime>(bits * static_cast<double>(sim::PicosecondsPerSecond) / baud);
}

EngineOnModel::EngineOnModel(std::string_view description, Mode mode, std::uint16_t subsystemId)
    : mode_(mode), step_(CharTime(115200) / 4) {
    sim::MachineOptions options;
    options.manualTime = mode == Mode::Manual;
    sim::LoadedMachine loaded = sim::LoadMachine(description, "test", options);
    if (!loaded.machine) {
        ADD_FAILURE() << loaded.error;
        return;
    }
    host::InstallMachine(std::move(loaded.machine), mode == Mode::Manual
                                                        ? host::InterruptDelivery::Manual
                                                        : host::InterruptDelivery::Threads);
    sim::Board& board = Board();
    std::uint32_t space = RtValue::MemorySpace;
    std::uint64_t address = 0;
    EXPECT_TRUE(RtTranslateBusAddress(RtValue::PciBus, 0, board.Identity().bar0, &space, &address));
    base_ = static_cast<volatile std::uint8_t*>(
        RtMapMemory(address, board.RegionLength(), RtValue::NotCached));
    EXPECT_NE(base_, nullptr);
    const bool lineDrivers = subsystemId == 0x353;
    for (std::uint8_t channel = 0; channel < board.ChannelCount(); ++channel) {
        PortRecord& port = ports_.Add(channel, Window(channel));
        port.deviceId = board.Identity().deviceId;
        port.hasLineDriverControl = lineDrivers ? 1 : 0;
    }
    pinsReady = false;  // a new board: the pins need their set-up again
    boardClockHz = board.Identity().clockHz;
    isrContext = IsrContext{base_ + IntSummary, lineDrivers ? base_ + PinLevel : nullptr,
                            static_cast<std::uint8_t>(lineDrivers ? 1 : 0)};
    for (std::uint32_t channel = 0; channel < board.ChannelCount(); ++channel) {
        WriteReg(Window(channel), IER, Ier::None);
    }
    EXPECT_NE(RtAttachInterruptVector(nullptr, 0, InterruptService, &isrContext, 127,
                                      RtValue::PciBus, board.Identity().bus, board.Identity().irq,
                                      board.Identity().irq),
              nullptr);
}

EngineOnModel::~EngineOnModel() {
    host::RemoveMachine();
    isrContext = IsrContext{};
    boardClockHz = 0;
}

ChannelRegs* EngineOnModel::Window(std::uint32_t channel) const {
    return reinterpret_cast<ChannelRegs*>(const_cast<std::uint8_t*>(base_) + channel * ChannelWindowSize);
}

bool EngineOnModel::Open(std::uint8_t port, const Line& line) {
    OpenPort(port);
    LineConfig config{};
    config.baudRate = line.baud;
    config.parity = line.parity;
    config.stopBits = line.stopBits;
    config.dataBits = line.dataBits;
    config.softwareFlow = line.softwareFlow;
    config.xoffChar = 0x13;
    config.xonChar = 0x11;
    config.flowControl = line.flowControl;
    config.lineMode = line.lineMode;
    return SetPortConfig(port, reinterpret_cast<const std::uint8_t*>(&config)) == 0;
}

void EngineOnModel::WriteAll(std::uint8_t port, const std::string& bytes) {
    std::size_t done = 0;
    const bool ok = PumpUntil(
        [&] {
            std::uint32_t taken = 0;
            WritePort(port, reinterpret_cast<const std::uint8_t*>(bytes.data() + done),
                      static_cast<std::uint32_t>(bytes.size() - done), &taken);
            done += taken;
            return done == bytes.size();
        },
        60 * sim::PicosecondsPerSecond);
    EXPECT_TRUE(ok) << "port " << int{port} << " took " << done << " of " << bytes.size();
}

std::string EngineOnModel::ReadAvailable(std::uint8_t port) {
    std::string bytes;
    std::uint8_t buffer[1024];
    for (;;) {
        std::uint32_t count = 0;
        ReadPort(port, buffer, sizeof buffer, &count);
        if (count == 0) {
            return bytes;
        }
        bytes.append(reinterpret_cast<const char*>(buffer), count);
    }
}

void EngineOnModel::Pump(sim::SimTime duration) {
    if (mode_ == Mode::Manual) {
        host::RunMachine(duration, step_);
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

bool EngineOnModel::PumpUntil(const std::function<bool()>& condition, sim::SimTime limit) {
    if (mode_ == Mode::Manual) {
        for (sim::SimTime spent = 0; spent < limit; spent += step_) {
            if (condition()) {
                return true;
            }
            Pump(step_);
        }
        return condition();
    }
    // Running: simulated time follows the wall clock; wall time is only a guard here.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > guard) {
            return false;
        }
        Pump(step_);
    }
    return true;
}

}  // namespace modeltest
