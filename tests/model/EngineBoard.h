// The port engine on a board of the simulated machine, as board set-up leaves it: the board
// mapped through the platform, PortTable filled with zeroed records whose regs are the channel
// windows, boardClockHz and isrContext set, every IER cleared, InterruptService attached to the
// board's line. Header-only so that the model tests and the benchmarks share it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "hw/BoardClock.h"
#include "hw/LineDriver.h"
#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "platform/host/HostMachine.h"
#include "port/Isr.h"
#include "port/PortOps.h"
#include "port/PortRecord.h"
#include "port/Rings.h"

namespace modeltest {

struct Line {
    std::int32_t baud = 115200;
    char parity = 'n';
    std::uint8_t dataBits = 8;
    std::uint8_t stopBits = 1;
    std::uint8_t flowControl = 0;
    std::uint32_t softwareFlow = 0;
    std::uint8_t lineMode = 0;
};

class EngineBoard {
public:
    // Manual: simulated time moves only when the caller advances it, interrupts are delivered
    // by host::DeliverInterrupts. Running: the description's pace and a service thread.
    enum class Mode { Manual, Running };

    EngineBoard() = default;
    EngineBoard(const EngineBoard&) = delete;
    EngineBoard& operator=(const EngineBoard&) = delete;

    ~EngineBoard() {
        host::RemoveMachine();
        for (std::size_t channel = 0; channel < records_.size(); ++channel) {
            if (records_[channel]) {
                PortTable[channel] = nullptr;
            }
        }
        isrContext = IsrContext{};
        boardClockHz = 0;
    }

    // Empty on success, else what failed. Line drivers (and the interrupt-time pin pulse) as
    // on boards with subsystem ID 0x353. A trace path writes the register access trace.
    std::string Start(std::string_view description, Mode mode, bool lineDrivers,
                      const std::string& tracePath = {}) {
        sim::MachineOptions options;
        options.manualTime = mode == Mode::Manual;
        options.tracePath = tracePath;
        sim::LoadedMachine loaded = sim::LoadMachine(description, "description", options);
        if (!loaded.machine) {
            return loaded.error;
        }
        host::InstallMachine(std::move(loaded.machine), mode == Mode::Manual
                                                            ? host::InterruptDelivery::Manual
                                                            : host::InterruptDelivery::Threads);
        sim::Board& board = Board();
        std::uint32_t space = RtValue::MemorySpace;
        std::uint64_t address = 0;
        if (!RtTranslateBusAddress(RtValue::PciBus, 0, board.Identity().bar0, &space, &address)) {
            return "BAR0 does not translate";
        }
        base_ = static_cast<volatile std::uint8_t*>(
            RtMapMemory(address, board.RegionLength(), RtValue::NotCached));
        if (base_ == nullptr) {
            return "the board does not map";
        }
        for (std::uint8_t channel = 0; channel < board.ChannelCount(); ++channel) {
            records_[channel] = std::make_unique<PortRecord>();  // value-initialised: all zero
            PortRecord& port = *records_[channel];
            port.regs = Window(channel);
            port.deviceId = board.Identity().deviceId;
            port.hasLineDriverControl = lineDrivers ? 1 : 0;
            PortTable[channel] = &port;
        }
        pinsReady = false;  // a new board: its pins need their set-up again
        boardClockHz = board.Identity().clockHz;
        isrContext = IsrContext{base_ + IntSummary, lineDrivers ? base_ + PinLevel : nullptr,
                                static_cast<std::uint8_t>(lineDrivers ? 1 : 0)};
        for (std::uint32_t channel = 0; channel < board.ChannelCount(); ++channel) {
            WriteReg(Window(channel), IER, Ier::None);
        }
        if (RtAttachInterruptVector(nullptr, 0, InterruptService, &isrContext, 127, RtValue::PciBus,
                                    board.Identity().bus, board.Identity().irq,
                                    board.Identity().irq) == nullptr) {
            return "the interrupt does not attach";
        }
        return {};
    }

    sim::Board& Board() { return host::CurrentMachine().GetBoard(0); }
    PortRecord& Port(std::uint8_t index) { return *records_[index]; }
    ChannelRegs* Window(std::uint32_t channel) const {
        return reinterpret_cast<ChannelRegs*>(const_cast<std::uint8_t*>(base_) +
                                              channel * ChannelWindowSize);
    }

    // OpenPort then SetPortConfig, as a client's open and configuration do; false when refused.
    bool Open(std::uint8_t port, const Line& line) {
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

    std::uint32_t Write(std::uint8_t port, const char* bytes, std::size_t length) {
        std::uint32_t taken = 0;
        WritePort(port, reinterpret_cast<const std::uint8_t*>(bytes),
                  static_cast<std::uint32_t>(length), &taken);
        return taken;
    }

    std::string ReadAvailable(std::uint8_t port) {
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

private:
    volatile std::uint8_t* base_ = nullptr;
    std::array<std::unique_ptr<PortRecord>, MaxPorts> records_;
};

// The time of one character of `bits` bits at a baud rate, in simulated picoseconds.
inline sim::SimTime CharTime(std::int32_t baud, double bits = 10) {
    return static_cast<sim::SimTime>(bits * static_cast<double>(sim::PicosecondsPerSecond) / baud);
}

}  // namespace modeltest
