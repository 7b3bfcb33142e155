#include "port/ReceiveHold.h"

#include "port/PortReport.h"

SharedByte ReceiveHeld[MaxPorts] = {};

namespace {

// The receive service only adds to rxCount and the request side only takes away, each with
// interrupts disabled; on the interrupt side or in a section this is the ring's room now.
std::uint32_t RingRoom(const PortRecord* port) { return RingSize - port->rxCount.load(); }

}  // namespace

bool HoldsFarEnd(const LineConfig& settings) {
    const std::uint8_t autoRts = FlowControl::AutoRts | FlowControl::AutoRtsWithOut1;
    return (settings.flowControl & autoRts) != 0 || settings.softwareFlow != 0;
}

std::uint8_t WantedEnables(std::uint8_t portIndex) {
    return ReceiveHeld[portIndex].load() != 0 ? static_cast<std::uint8_t>(Ier::All & ~Ier::RxData)
                                              : Ier::All;
}

// The line-signal steps know a port by its record; the table is short and set up once.
std::uint8_t WantedEnables(const PortRecord* port) {
    for (std::uint8_t index = 0; index < MaxPorts; ++index) {
        if (PortTable[index] == port) {
            return WantedEnables(index);
        }
    }
    return Ier::All;
}

std::uint32_t ReceivableBytes(std::uint8_t portIndex, const PortRecord* port, std::uint32_t level) {
    if (!HoldsFarEnd(PortReports[portIndex].inForce)) {
        return level;
    }
    const std::uint32_t room = RingRoom(port);
    return level < room ? level : room;
}

bool UpdateReceiveHold(std::uint8_t portIndex, const PortRecord* port) {
    const bool held = ReceiveHeld[portIndex].load() != 0;
    const std::uint32_t room = RingRoom(port);
    bool hold = false;
    if (HoldsFarEnd(PortReports[portIndex].inForce)) {
        hold = held ? room < ResumeRoom : room < HoldRoom;
    }
    if (hold == held) {
        return false;
    }
    ReceiveHeld[portIndex].store(hold ? 1 : 0);
    return true;
}
