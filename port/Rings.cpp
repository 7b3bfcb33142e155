#include "port/Rings.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/PortRecord.h"
#include "port/ReceiveHold.h"
#include "port/TransmitKick.h"

void ReadPort(std::uint8_t portIndex, std::uint8_t* destination, std::uint32_t length,
              std::uint32_t* count) {
    *count = 0;
    PortRecord* port = FindPort(portIndex);
    // A plain read: the receive service only ever adds, so a stale value shows fewer bytes.
    if (port == nullptr || port->rxCount.load() == 0) {
        return;
    }
    std::uint32_t copied = 0;
    while (copied < length) {
        destination[copied++] = port->rxRing[port->rxTail];
        if (++port->rxTail == RingSize) {
            port->rxTail = 0;
        }
        // rxCount is the one word both sides change; the decrement must not interleave with the
        // receive service's increment. It is re-read each time, so bytes that arrive meanwhile
        // are taken in the same call.
        const InterruptState state = DisableInterrupts();
        const std::uint32_t remaining = port->rxCount.load() - 1;
        port->rxCount.store(remaining);
        RestoreInterrupts(state);
        if (remaining == 0) {
            break;
        }
    }
    *count = copied;
    // A held port gets its received-data interrupt back once the reader has made room; the
    // channel then lets the far end go on as its FIFO drains. The flag is tested without a
    // section (only this side clears it); the decision and the IER write form one, against the
    // receive service setting a hold in between.
    if (ReceiveHeld[portIndex].load() != 0) {
        const InterruptState state = DisableInterrupts();
        if (UpdateReceiveHold(portIndex, port)) {
            WriteReg(port->regs, IER, WantedEnables(portIndex));
        }
        RestoreInterrupts(state);
    }
}

void WritePort(std::uint8_t portIndex, const std::uint8_t* source, std::uint32_t length,
               std::uint32_t* count) {
    *count = 0;
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr) {
        return;
    }
    // The free room must be read against the transmit service's subtraction.
    InterruptState state = DisableInterrupts();
    const std::uint32_t room = RingSize - port->txCount.load();
    RestoreInterrupts(state);
    if (room == 0) {
        return;  // a full ring takes nothing and leaves the channel alone
    }
    const std::uint32_t taken = length < room ? length : room;

    // The slots are filled before the count covers them, so the copy needs no section.
    for (std::uint32_t i = 0; i < taken; ++i) {
        port->txRing[port->txHead] = source[i];
        if (++port->txHead == RingSize) {
            port->txHead = 0;
        }
    }

    // txCount is the one word both sides change.
    state = DisableInterrupts();
    port->txCount.store(port->txCount.load() + taken);
    RestoreInterrupts(state);

    // An idle transmitter raises no interrupt by itself. If the service emptied the ring just
    // now, the kick costs one interrupt that finds nothing to send.
    if (port->txActive.load() == 0) {
        KickTransmitter(port);
    }
    *count = taken;
}
