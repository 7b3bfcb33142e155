#include "port/FifoTransfer.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/PortEvents.h"
#include "port/PortRecord.h"
#include "port/PortReport.h"
#include "port/ReceiveHold.h"
#include "port/TransmitKick.h"

namespace {

constexpr std::uint32_t MaxLevelReads = 10;
constexpr std::uint32_t NoReading = 0x100;  // equals no byte, so at least two reads are made

struct LevelReading {
    std::uint8_t level;  // the last value read
    bool settled;        // two successive reads agreed
};

// The level counters move while they are read (the line drains the transmit FIFO and fills the
// receive FIFO); a value is taken only when two successive reads agree.
LevelReading ReadStableLevel(const ChannelRegs* regs, RegOffset reg) {
    std::uint32_t previous = NoReading;
    std::uint8_t level = 0;
    for (std::uint32_t i = 0; i < MaxLevelReads; ++i) {
        level = ReadReg(regs, reg);
        if (level == previous) {
            return {level, true};
        }
        previous = level;
    }
    return {level, false};
}

// Room in the transmit FIFO. Only the line drains it while it is read, so a level that will not
// settle has just fallen and one byte surely fits. A reading above the FIFO's depth is a glitch:
// it gives no room rather than a burst running past the 64-byte window.
std::uint32_t TransmitRoom(const ChannelRegs* regs) {
    const LevelReading reading = ReadStableLevel(regs, TxLevel);
    if (!reading.settled) {
        return 1;
    }
    return reading.level >= FifoDepth ? 0 : FifoDepth - reading.level;
}

// Moves the FIFO's bytes into rxRing, as many as one stable level reading counts; with flow
// control in force no more than the ring has room for.
void DrainReceiveFifo(std::uint8_t channel, PortRecord* port) {
    ChannelRegs* regs = port->regs;
    const LevelReading reading = ReadStableLevel(regs, RxLevel);
    if (reading.level == 0) {
        return;
    }
    // Only the line fills the FIFO while it is read, so an unsettled non-zero level holds at least
    // one byte. A stable reading above the depth is a glitch; the burst stays inside the window.
    std::uint32_t level = 1;
    if (reading.settled) {
        level = reading.level < FifoDepth ? reading.level : FifoDepth;
    }
    // With an error byte in the FIFO, one byte per pass keeps the error status with its byte.
    if ((ReadReg(regs, LSR) & Lsr::FifoError) != 0) {
        level = 1;
    }
    level = ReceivableBytes(channel, port, level);
    std::uint32_t stored = 0;
    for (std::uint32_t j = 0; j < level; ++j) {
        const auto slot = static_cast<RegOffset>(FifoWindow + j);
        // rxCount is the one word both sides change. The byte is in the ring before the count
        // covers it: ReadPort on another processor of the host tests the count without a section.
        const InterruptState state = DisableInterrupts();
        const std::uint32_t held = port->rxCount.load();
        if (held < RingSize) {
            port->rxRing[port->rxHead] = ReadReg(regs, slot);
            port->rxCount.store(held + 1);
            ++port->rxHead;
            ++stored;
        } else {
            // Without flow control a full ring never stops the drain: the byte is read, dropped
            // and counted as overrun.
            NoteRingOverrun(channel, port);
            (void)ReadReg(regs, slot);
        }
        RestoreInterrupts(state);
        if (port->rxHead == RingSize) {
            port->rxHead = 0;
        }
    }
    // Once per burst, after the bytes are counted: a woken reader finds them.
    RaisePortEvents(channel, stored != 0 ? PortEvent::Received : 0);
    if (stored < level) {
        RaiseLineErrors(channel, Lsr::Overrun);
    }
}

// What a burst that left `left` bytes in the ring tells the waiting writers.
std::uint32_t TransmitEvents(std::uint32_t left) {
    if (left == 0) {
        return PortEvent::TransmitRingEmpty | PortEvent::TransmitRoom;
    }
    return left <= TransmitRoomLevel ? PortEvent::TransmitRoom : 0;
}

}  // namespace

void TransmitService(std::uint8_t channel) {
    PortRecord* port = FindPort(channel);
    if (port == nullptr) {
        return;
    }
    // txCount and txActive are read and set together against WritePort's add and its kick test.
    InterruptState state = DisableInterrupts();
    const std::uint32_t waiting = port->txCount.load();
    if (waiting == 0) {
        port->txActive.store(0);
        RestoreInterrupts(state);
        return;
    }
    port->txActive.store(1);
    RestoreInterrupts(state);

    const std::uint32_t room = TransmitRoom(port->regs);
    const std::uint32_t burst = room < waiting ? room : waiting;
    if (burst == 0) {
        // No room, by the reading, and the interrupt that brought the service here is spent: if
        // the reading was a glitch on an empty FIFO, txActive would stay 1 and the ring unsent.
        KickTransmitter(port);
        return;
    }
    for (std::uint32_t i = 0; i < burst; ++i) {
        WriteReg(port->regs, static_cast<RegOffset>(FifoWindow + i), port->txRing[port->txTail]);
        if (++port->txTail == RingSize) {
            port->txTail = 0;
        }
    }
    // The slots go back to WritePort only now that their bytes are in the FIFO.
    state = DisableInterrupts();
    const std::uint32_t left = port->txCount.load() - burst;
    port->txCount.store(left);
    if (left == 0) {
        port->txActive.store(0);
    }
    RestoreInterrupts(state);
    RaisePortEvents(channel, TransmitEvents(left));
}

void ReceiveService(std::uint8_t channel) {
    PortRecord* port = FindPort(channel);
    if (port == nullptr) {
        return;
    }
    DrainReceiveFifo(channel, port);
    // A port with flow control whose ring cannot take another FIFO's worth is held: with its
    // received-data interrupt masked the FIFO fills to its trigger and the channel stops the far
    // end. The service runs only while that interrupt is unmasked, so here a hold only begins.
    if (UpdateReceiveHold(channel, port)) {
        WriteReg(port->regs, IER, WantedEnables(channel));
    }
}
