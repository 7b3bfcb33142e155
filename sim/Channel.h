// One UART channel of a board as the device model holds it: its registers, its two FIFOs, the
// shift register on the line, its modem lines and what its far end is doing. Plain data; the
// board's routines give it behaviour.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/BoardRegisters.h"
#include "sim/Fifo.h"
#include "sim/LineFormat.h"
#include "sim/SimTime.h"

namespace sim {

// What is connected to a channel's serial line.
enum class LineKind : std::uint8_t { Open, NullModem, Loopback, Pty };

struct RxEntry {
    std::uint8_t value = 0;
    std::uint8_t errors = 0;  // parity/framing/break bits that travel with the byte
};

// A transmitter's shift register: the character now on the line.
struct Shifter {
    bool busy = false;
    SimTime end = Never;  // when its last stop bit ends
    std::uint8_t value = 0;
    std::uint8_t errors = 0;  // far-end injection only: errors the receiver is to see
    LineFormat format;        // the format it was started with
    bool spaced = false;      // a break overtook it: it never reaches the receiver

    // The character's last stop bit has gone: the register is free, the character returned.
    Shifter Finish() {
        const Shifter done = *this;
        busy = false;
        end = Never;
        return done;
    }
};

struct ChannelCounters {
    std::uint64_t charsSent = 0;      // characters that left the shift register
    std::uint64_t charsReceived = 0;  // characters that completed at the receiver
    std::uint64_t overruns = 0;       // characters lost to a full receive FIFO
    std::uint64_t txOverwrites = 0;   // bytes written into a full transmit FIFO (lost)
    std::uint64_t rxUnderreads = 0;   // reads of an empty receive FIFO
};

struct Channel {
    // Registers as written.
    std::uint8_t ier = 0;
    std::uint8_t lcr = 0;
    std::uint8_t mcr = 0;
    std::uint8_t dll = 0;  // divisor 0: no bit clock until a divisor is loaded
    std::uint8_t dlm = 0;
    bool fifosOn = false;
    std::uint8_t fcrTrigger = 0;  // FCR bits 6-7: the 16550 receive trigger table
    std::uint8_t fifoTrigCtl = 0;
    std::uint8_t featureCtl = 0;
    std::uint8_t txTriggerReg = 0;
    std::uint8_t rxTriggerReg = 0;
    std::uint8_t xoffChar = 0;
    std::uint8_t xonChar = 0;
    std::uint8_t turnaround = 0;  // RS-485 turnaround delay, in bit times
    std::uint8_t scratch = 0;
    LineFormat format;  // from LCR, the divisor latch and the prescaler; kept current on writes

    // Receiver.
    Fifo<RxEntry> rx;
    std::uint8_t lsrLatched =
        0;  // OE and the errors of bytes that reached the top; LSR read clears
    bool fifoErrorLatch = false;     // LSR bit 7
    std::uint32_t errorEntries = 0;  // bytes in the FIFO that carry errors
    bool timeoutPending = false;
    SimTime lastRxActivity = 0;  // last byte into or out of the receive FIFO
    SimTime spaceSince = Never;  // the line into the receiver is held at space since
    bool breakTaken = false;     // that space has already given its break character
    bool rtsThrottled = false;   // automatic RTS holds RTS low
    bool xoffSent = false;       // we have told the far end to stop

    // Transmitter.
    Fifo<std::uint8_t> tx;
    Shifter shifter;
    bool threPending = false;
    bool threArmed = false;  // a FIFO write since the last transmit-empty: drain will raise it
    bool flowCharPending = false;  // XON or XOFF to go out ahead of the FIFO
    std::uint8_t flowChar = 0;
    bool heldByXoff = false;         // the far end told us to stop
    SimTime directionUntil = Never;  // RS-485: direction drops then, after the turnaround delay

    // Modem lines.
    std::uint8_t modemIn = 0;   // CTS/DSR/RI/DCD levels in MSR bit positions
    std::uint8_t msrDelta = 0;  // change flags, cleared by reading MSR
    bool rtsOut = false;        // what the channel drives on its RTS and DTR pins
    bool dtrOut = false;

    std::uint8_t iir = reg::iir::None;  // kept current by the board's one update routine

    std::uint32_t unstableReads = 0;  // test hook: level reads still to jitter
    bool unstableFlip = false;
    ChannelCounters counters;
};

// The far end of a channel's line. For null-modem and loopback lines the other side is a channel
// of the board; the far end here is still there for tests (injection) and for modem levels of
// open and pty lines.
struct FarEnd {
    LineKind kind = LineKind::Open;
    std::uint32_t peer = 0;          // null-modem: the other channel
    std::string ptyPath;             // pty: the symbolic link asked for, may be empty
    std::deque<RxEntry> outgoing;    // what the far end still has to send into the channel
    Shifter shifter;                 // the far end's character on the line
    bool honourRts = false;          // hold while the channel's RTS is low
    SimTime breakUntil = Never;      // far end holds the line at space until then
    std::uint8_t modemLevels = 0;    // open and pty lines: CTS/DSR/RI/DCD driven by the far end
    std::vector<std::uint8_t> sent;  // open and pty lines: what the channel sent, not yet taken
    std::uint64_t sentDropped = 0;   // bytes dropped because nobody took them
};

}  // namespace sim
