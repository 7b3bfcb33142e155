#include "port/TransmitState.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/PortEvents.h"
#include "port/PortRecord.h"
#include "port/PortReport.h"

PortTransmitState ReadTransmitState(std::uint8_t portIndex) {
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr) {
        return {0, 1, 0};
    }
    // One section for three reasons. txCount is the word the transmit service changes. Reading
    // LSR clears its error bits, and with them the line-status interrupt the channel may have
    // pending for them, so the bits are gathered here as the interrupt service would have
    // gathered them (lineErrors and the counts, which that side also writes). And with the
    // service held off, no byte moves from the ring into the FIFO between the readings: an
    // empty ring beside an empty transmitter means the line has sent everything.
    const InterruptState state = DisableInterrupts();
    const std::uint8_t lineStatus = ReadReg(port->regs, LSR);
    NoteLineErrors(portIndex, port, lineStatus);
    const std::uint32_t queued = port->txCount.load();
    // One reading of a counter the line moves: good for how long the line still needs.
    const std::uint8_t fifoLevel = ReadReg(port->regs, TxLevel);
    RestoreInterrupts(state);
    RaiseLineErrors(portIndex, lineStatus);
    return {queued, static_cast<std::uint8_t>((lineStatus & Lsr::TxEmpty) != 0 ? 1 : 0), fifoLevel};
}
