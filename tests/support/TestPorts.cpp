#include "tests/support/TestPorts.h"

#include "port/PortReport.h"
#include "port/ReceiveHold.h"

namespace fake {

TestPorts::~TestPorts() {
    for (auto& [index, record] : records_) {
        PortTable[index] = nullptr;
    }
}

PortRecord& TestPorts::Add(std::uint8_t portIndex, ChannelRegs* regs) {
    auto record = std::make_unique<PortRecord>();  // value-initialised: every field zero
    record->regs = regs;
    PortTable[portIndex] = record.get();
    // The tables beside PortTable outlive a test: no earlier test's settings or hold carry over.
    PortReports[portIndex].inForce = {};
    ReceiveHeld[portIndex].store(0);
    records_.emplace_back(portIndex, std::move(record));
    return *records_.back().second;
}

bool RingsConsistent(const PortRecord& port) {
    return port.rxHead == (port.rxTail + port.rxCount.load()) % RingSize &&
           port.txHead == (port.txTail + port.txCount.load()) % RingSize;
}

void Receive(PortRecord& port, std::uint32_t count, std::uint8_t first) {
    for (std::uint32_t i = 0; i < count; ++i) {
        port.rxRing[port.rxHead] = static_cast<std::uint8_t>(first + i);
        port.rxHead = (port.rxHead + 1) % RingSize;
    }
    port.rxCount += count;
}

}  // namespace fake
