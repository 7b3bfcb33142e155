// The server half of the request benchmarks: device channels with the driver's own service
// threads and DispatchRequest, over a board that loops every port's transmit ring straight back
// into its receive ring. What a client measures against it is the request path alone: no UART
// pacing, no simulated machine, no interrupt thread competing for the two cores.
//
//   bench_request_server [--ports N] [--base P]
//
// Serves "\RtDevice\Quelta\Serial<P>" .. "Serial<P+N-1>" (default 1 port from 0) in the namespace
// of RTSS_NAMESPACE, prints "ready" once they exist and runs until SIGINT or SIGTERM, when the
// objects are removed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "hw/BoardClock.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/PortRecord.h"
#include "server/DeviceChannel.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"

namespace {

constexpr std::uint32_t BoardClock = 14'745'600;

// Registers are plain latches. The transmit kick (IER written with every source enabled) plays
// the interrupt service at once, holding the CPU lock as it would: the transmit ring is moved
// into the receive ring, and what does not fit is dropped and flagged as an overrun.
class LoopbackBoard final : public host::RegisterDevice {
public:
    LoopbackBoard() : base_(host::MapRegisterDevice(this, MaxPorts * ChannelWindowSize)) {}
    ChannelRegs* Window(std::uint32_t channel) const {
        return reinterpret_cast<ChannelRegs*>(static_cast<std::uint8_t*>(base_) +
                                              channel * ChannelWindowSize);
    }
    std::uint8_t Load(std::uint32_t offset) override { return latches_[offset]; }
    void Store(std::uint32_t offset, std::uint8_t value) override {
        latches_[offset] = value;
        if (offset % ChannelWindowSize == IER && value == Ier::All) {
            Loop(static_cast<std::uint8_t>(offset / ChannelWindowSize));
        }
    }

private:
    static void Loop(std::uint8_t channel) {
        PortRecord* port = FindPort(channel);
        if (port == nullptr) {
            return;
        }
        // The kick also comes from ClearBreak inside a caller's disabled section, whose lock this
        // thread then holds already.
        const bool nested = host::InterruptsDisabledOnThisThread();
        if (!nested) {
            host::EnterInterruptContext();
        }
        for (std::uint32_t n = port->txCount.load(); n > 0; --n) {
            const std::uint8_t byte = port->txRing[port->txTail];
            port->txTail = (port->txTail + 1) % RingSize;
            if (port->rxCount.load() < RingSize) {
                port->rxRing[port->rxHead] = byte;
                port->rxHead = (port->rxHead + 1) % RingSize;
                port->rxCount.store(port->rxCount.load() + 1);
            } else {
                port->lineErrors.fetch_or(Lsr::Overrun);
            }
        }
        port->txCount.store(0);
        if (!nested) {
            host::LeaveInterruptContext();
        }
    }

    void* base_;
    std::uint8_t latches_[MaxPorts * ChannelWindowSize] = {};
};

int Usage() {
    std::fprintf(stderr, "usage: bench_request_server [--ports 1-8] [--base 0-255]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned ports = 1;
    unsigned base = 0;
    for (int i = 1; i < argc; ++i) {
        if (i + 1 < argc && std::strcmp(argv[i], "--ports") == 0) {
            ports = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (i + 1 < argc && std::strcmp(argv[i], "--base") == 0) {
            base = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            return Usage();
        }
    }
    if (ports < 1 || ports > MaxPorts || base > 255) {
        return Usage();
    }

    host::StartProcess();
    boardClockHz = BoardClock;
    static LoopbackBoard board;
    static PortRecord records[MaxPorts];
    for (std::uint8_t i = 0; i < ports; ++i) {
        records[i].regs = board.Window(i);
        PortTable[i] = &records[i];
        std::snprintf(DeviceNameTable[i].deviceName, DeviceNameSize, "\\RtDevice\\Quelta\\Serial%u",
                      base + i);
        DeviceNameTable[i].portIndex = i;
        if (CreateDeviceChannel(DeviceNameTable[i].deviceName, DispatchRequest, 0, 121,
                                DefaultDataAreaSize) == nullptr) {
            std::fprintf(stderr, "bench_request_server: cannot create %s (error %u)\n",
                         DeviceNameTable[i].deviceName, GetLastError());
            ExitProcess(1);
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}
