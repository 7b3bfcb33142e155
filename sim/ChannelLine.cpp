// The line side of a channel: the transmitter shifting characters out of its FIFO, the receiver
// taking them in (with overrun and the errors each byte carries), the modem lines, and the flow
// control the channel does by itself (automatic RTS/CTS, XON/XOFF, RS-485 direction).
#include <algorithm>

#include "sim/Board.h"

namespace sim {
namespace {

// What the far end of an open or pty line keeps of what the channel sent, until it is taken.
constexpr std::size_t SentLimit = 1u << 20;

// The far end sends in the channel's own format; with no clock on the channel it still needs a
// pace, and 9600 8N1 is as good as any (the channel receives nothing without a clock anyway).
LineFormat FarEndFallbackFormat() {
    LineFormat format;
    format.bitTime = PicosecondsPerSecond / 9600;
    return format;
}

}  // namespace

void Board::RefreshFormat(Channel& c) const {
    const auto divisor = static_cast<std::uint16_t>((c.dlm << 8) | c.dll);
    c.format = FormatOf(c.lcr, divisor, (c.mcr & reg::mcr::Prescale) != 0, identity_.clockHz);
}

std::uint32_t Board::Depth(const Channel& c) const { return c.fifosOn ? reg::FifoDepth : 1; }

std::uint32_t Board::RxTrigger(const Channel& c) const {
    if (!c.fifosOn) {
        return 1;
    }
    if ((c.fifoTrigCtl & reg::fifotrig::ProgrammedLevels) == reg::fifotrig::ProgrammedLevels) {
        return std::clamp<std::uint32_t>(c.rxTriggerReg, 1, reg::FifoDepth);
    }
    static constexpr std::uint32_t table[4] = {1, 4, 8, 14};  // the 16550's FCR levels
    return table[c.fcrTrigger >> 6];
}

// The transmit-empty interrupt comes when the FIFO drains to this many bytes: 64 minus the
// trigger (free room) when the levels are programmed, otherwise when it is empty, as on a 16550.
std::uint32_t Board::TxThreshold(const Channel& c) const {
    if (!c.fifosOn ||
        (c.fifoTrigCtl & reg::fifotrig::ProgrammedLevels) != reg::fifotrig::ProgrammedLevels) {
        return 0;
    }
    return reg::FifoDepth - std::clamp<std::uint32_t>(c.txTriggerReg, 1, reg::FifoDepth);
}

int Board::SourceOf(std::uint32_t channel) const {
    const FarEnd& far = farEnds_[channel];
    switch (far.kind) {
    case LineKind::NullModem:
        return static_cast<int>(far.peer);
    case LineKind::Loopback:
        return static_cast<int>(channel);
    default:
        return -1;
    }
}

// Lines are symmetric: the channel a receiver hears is the one a transmitter reaches.
int Board::DestinationOf(std::uint32_t channel) const { return SourceOf(channel); }

// May the transmitter start a character now: a bit clock, CTS when automatic CTS asks for it,
// and (unpaced) room at the receiver. The last is a departure: a real line does not wait, but
// an unpaced line has no time against which a late reader could be measured, so it runs only
// as fast as the FIFOs allow and never overruns.
bool Board::LineFree(std::uint32_t channel) const {
    const Channel& c = channels_[channel];
    if (!c.format.Runs()) {
        return false;
    }
    if ((c.featureCtl & reg::feature::AutoCts) != 0 && (c.modemIn & reg::msr::Cts) == 0) {
        return false;
    }
    if (clock_.GetMode() == Clock::Mode::Unpaced) {
        const int destination = DestinationOf(channel);
        if (destination >= 0) {
            const Channel& d = channels_[static_cast<std::uint32_t>(destination)];
            return d.rx.Count() < Depth(d);
        }
    }
    return true;
}

bool Board::CanDepart(std::uint32_t channel) const {
    return LineFree(channel) && !channels_[channel].heldByXoff;
}

void Board::PushTx(std::uint32_t channel, std::uint8_t value, SimTime now) {
    Channel& c = channels_[channel];
    if (c.tx.Count() >= Depth(c)) {
        ++c.counters.txOverwrites;  // a full FIFO takes nothing more
        return;
    }
    const bool queuedBehind = c.shifter.busy;
    c.tx.Push(value);
    c.threPending = false;  // writing the FIFO clears transmit-empty and arms the next one
    c.threArmed = true;
    StartNext(channel, now);
    PropagateOutputs(channel, now);  // RS-485: data to send turns the driver on
    // A byte queued behind a character on the line adds no event before that character ends;
    // if the board is looked at by then anyway, a burst need not reschedule it.
    if (!queuedBehind || plannedWake_.load(std::memory_order_relaxed) > c.shifter.end) {
        Touch(channel);
    }
}

std::optional<std::uint8_t> Board::PopRx(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    if (c.rx.Empty()) {
        return std::nullopt;
    }
    const RxEntry entry = c.rx.Pop();
    if (entry.errors != 0) {
        --c.errorEntries;
    }
    const bool timeoutWithdrawn = c.timeoutPending;
    c.lastRxActivity = now;
    c.timeoutPending = false;
    if (!c.rx.Empty()) {
        c.lsrLatched |= c.rx.Front().errors;  // the next byte's errors show as it reaches the top
    }
    EvaluateReceiveFlow(channel, now);
    ReleaseSource(channel, now);
    // Taking a byte only postpones what this receiver needs (its time-out), so the channel's next
    // event as last found stays a bound that is never late; a flow-control resume it causes
    // touches the transmitter it lets go on. But a reported time-out was no event the line thread
    // still waits for: bytes left behind it need a new one planned, or a receiver throttled with
    // them would wait for ever.
    if (timeoutWithdrawn && !c.rx.Empty()) {
        Touch(channel);
    }
    return entry.value;
}

void Board::StartNext(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    if (c.shifter.busy || !LineFree(channel)) {
        return;
    }
    std::uint8_t value = 0;
    if (c.flowCharPending) {
        // XON and XOFF go out ahead of the FIFO, also while the far end has us stopped.
        value = c.flowChar;
        c.flowCharPending = false;
    } else {
        if (c.heldByXoff || c.tx.Empty()) {
            return;
        }
        value = c.tx.Pop();
        // Transmit-empty comes once per FIFO write: the first time a character leaves and the
        // FIFO holds no more than its threshold (8 at trigger 56, none on a plain 16550). So a
        // write that leaves the FIFO below the threshold still brings one when the next
        // character goes, and the driver's "more bytes wait for the next one" holds.
        if (c.threArmed && c.tx.Count() <= TxThreshold(c)) {
            c.threPending = true;
            c.threArmed = false;
        }
    }
    c.shifter = Shifter{true,     now + c.format.FrameTime(),    value, 0,
                        c.format, (c.lcr & reg::lcr::Break) != 0};
    c.directionUntil = Never;
    Touch(channel);
}

void Board::CompleteShift(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    const Shifter done = c.shifter.Finish();
    ++c.counters.charsSent;
    // The receiver takes the character in the middle of its stop bit, before the transmitter
    // decides on the next one: a receiver that drops RTS for it stops the next character.
    const bool spaceFollows =
        (c.lcr & reg::lcr::Break) != 0 ||
        (LineFree(channel) && (c.flowCharPending || (!c.heldByXoff && !c.tx.Empty())));
    if (!done.spaced) {
        FarEnd& far = farEnds_[channel];
        const int destination = DestinationOf(channel);
        if (destination >= 0) {
            const auto d = static_cast<std::uint32_t>(destination);
            Arrive(d, Sample(done.format, done.value, channels_[d].format, spaceFollows), now);
        } else if (far.sent.size() < SentLimit) {
            far.sent.push_back(done.value);
        } else {
            ++far.sentDropped;
        }
    }
    StartNext(channel, now);
    if ((c.fifoTrigCtl & reg::fifotrig::AutoDirection) != 0 && !c.shifter.busy && c.tx.Empty()) {
        c.directionUntil = now + c.turnaround * done.format.bitTime;
        if (c.directionUntil <= now) {
            c.directionUntil = Never;
            PropagateOutputs(channel, now);
        }
    }
    Touch(channel);
}

void Board::StartFarEnd(std::uint32_t channel, SimTime now) {
    FarEnd& far = farEnds_[channel];
    const Channel& c = channels_[channel];
    if (far.shifter.busy || far.outgoing.empty()) {
        return;
    }
    if (far.breakUntil != Never && now < far.breakUntil) {
        return;  // sends after its break
    }
    if (far.honourRts && !c.rtsOut) {
        return;
    }
    if (clock_.GetMode() == Clock::Mode::Unpaced && c.rx.Count() >= Depth(c)) {
        return;
    }
    const LineFormat format = c.format.Runs() ? c.format : FarEndFallbackFormat();
    const RxEntry entry = far.outgoing.front();
    far.outgoing.pop_front();
    far.shifter = Shifter{true, now + format.FrameTime(), entry.value, entry.errors, format, false};
    Touch(channel);
}

void Board::CompleteFarEnd(std::uint32_t channel, SimTime now) {
    FarEnd& far = farEnds_[channel];
    const Shifter done = far.shifter.Finish();
    auto received = Sample(done.format, done.value, channels_[channel].format, false);
    if (received) {
        received->errors |= done.errors;
    }
    Arrive(channel, received, now);
    StartFarEnd(channel, now);
    Touch(channel);
}

void Board::Arrive(std::uint32_t channel, std::optional<ReceivedChar> received, SimTime now) {
    if (!received) {
        return;
    }
    Channel& c = channels_[channel];
    ++c.counters.charsReceived;
    if ((c.featureCtl & reg::feature::XonXoffReceive) != 0 && received->errors == 0) {
        // Flow-control characters are acted on and not stored.
        if (received->value == c.xoffChar) {
            c.heldByXoff = true;
            return;
        }
        if (received->value == c.xonChar) {
            c.heldByXoff = false;
            StartNext(channel, now);
            return;
        }
    }
    if (c.rx.Count() >= Depth(c)) {
        // Overrun: the character in the shift register is lost, and that shows at once.
        c.lsrLatched |= reg::lsr::Overrun;
        ++c.counters.overruns;
        return;
    }
    const bool wasEmpty = c.rx.Empty();
    c.rx.Push(RxEntry{received->value, received->errors});
    if (received->errors != 0) {
        ++c.errorEntries;
        c.fifoErrorLatch = true;
    }
    if (wasEmpty) {
        c.lsrLatched |= received->errors;  // it is the top byte at once
    }
    // A new byte restarts the time-out count but, as on the 16550, does not withdraw a time-out
    // already reported: only reading a byte does.
    c.lastRxActivity = now;
    EvaluateReceiveFlow(channel, now);
}

void Board::QueueFlowChar(std::uint32_t channel, std::uint8_t value, SimTime now) {
    Channel& c = channels_[channel];
    c.flowChar = value;  // an XON replaces an XOFF that has not gone out yet, and back
    c.flowCharPending = true;
    StartNext(channel, now);
}

// Receive-side flow control: stop the far end when the FIFO reaches its trigger level, let it
// go on when the FIFO has drained to half of it (the hysteresis keeps the line from chattering).
void Board::EvaluateReceiveFlow(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    const std::uint32_t count = c.rx.Count();
    const std::uint32_t trigger = RxTrigger(c);
    const std::uint32_t resume = trigger / 2;
    if ((c.featureCtl & reg::feature::AutoRts) != 0) {
        if (!c.rtsThrottled && count >= trigger) {
            c.rtsThrottled = true;
            PropagateOutputs(channel, now);
        } else if (c.rtsThrottled && count <= resume) {
            c.rtsThrottled = false;
            PropagateOutputs(channel, now);
        }
    }
    if ((c.featureCtl & reg::feature::XonXoffTransmit) != 0) {
        if (!c.xoffSent && count >= trigger) {
            c.xoffSent = true;
            QueueFlowChar(channel, c.xoffChar, now);
        } else if (c.xoffSent && count <= resume) {
            c.xoffSent = false;
            QueueFlowChar(channel, c.xonChar, now);
        }
    }
}

// The RTS pin: the transmitter's direction control in RS-485 mode (on while there is data to
// send and for the turnaround delay after the last stop bit), otherwise MCR's RTS, which
// automatic RTS can only hold low (as on the 16C750: automatic RTS needs RTS set). In RS-485
// mode the receiver is not switched off while the channel sends: a half-duplex bus would echo.
bool Board::RtsPin(const Channel& c, SimTime now) const {
    if ((c.fifoTrigCtl & reg::fifotrig::AutoDirection) != 0) {
        return c.shifter.busy || !c.tx.Empty() ||
               (c.directionUntil != Never && now < c.directionUntil);
    }
    return (c.mcr & reg::mcr::Rts) != 0 && !c.rtsThrottled;
}

void Board::PropagateOutputs(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    const bool rts = RtsPin(c, now);
    const bool dtr = (c.mcr & reg::mcr::Dtr) != 0;
    if (rts == c.rtsOut && dtr == c.dtrOut) {
        return;
    }
    c.rtsOut = rts;
    c.dtrOut = dtr;
    // Null-modem and loopback wiring: RTS to CTS, DTR to DSR and DCD.
    const auto levels = static_cast<std::uint8_t>((rts ? reg::msr::Cts : 0) |
                                                  (dtr ? reg::msr::Dsr | reg::msr::Dcd : 0));
    const int destination = DestinationOf(channel);
    if (destination >= 0) {
        SetModemInputs(static_cast<std::uint32_t>(destination), levels, now);
    } else if (rts) {
        StartFarEnd(channel, now);  // a far end that honours RTS may go on
    }
}

void Board::SetModemInputs(std::uint32_t channel, std::uint8_t levels, SimTime now) {
    Channel& c = channels_[channel];
    const std::uint8_t old = c.modemIn;
    const auto changed = static_cast<std::uint8_t>(old ^ levels);
    if ((changed & reg::msr::Cts) != 0) {
        c.msrDelta |= reg::msr::DeltaCts;
    }
    if ((changed & reg::msr::Dsr) != 0) {
        c.msrDelta |= reg::msr::DeltaDsr;
    }
    if ((old & reg::msr::Ri) != 0 && (levels & reg::msr::Ri) == 0) {
        c.msrDelta |= reg::msr::TrailingRi;
    }
    if ((changed & reg::msr::Dcd) != 0) {
        c.msrDelta |= reg::msr::DeltaDcd;
    }
    c.modemIn = levels;
    if ((changed & reg::msr::Cts) != 0 && (levels & reg::msr::Cts) != 0) {
        StartNext(channel, now);  // automatic CTS lets the transmitter go on
    }
    Touch(channel);
}

bool Board::LineSpaced(std::uint32_t channel, SimTime now) const {
    const int source = SourceOf(channel);
    if (source >= 0 && (channels_[static_cast<std::uint32_t>(source)].lcr & reg::lcr::Break) != 0) {
        return true;
    }
    const FarEnd& far = farEnds_[channel];
    return far.breakUntil != Never && now < far.breakUntil;
}

// The line into a receiver went to space or back to mark. A space that ends before it filled a
// whole character is sampled as what it looks like (often a framing error).
void Board::LineLevelChanged(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    const bool spaced = LineSpaced(channel, now);
    if (spaced && c.spaceSince == Never) {
        c.spaceSince = now;
        c.breakTaken = false;
    } else if (!spaced && c.spaceSince != Never) {
        const SimTime since = c.spaceSince;
        c.spaceSince = Never;
        if (!c.breakTaken) {
            Arrive(channel, SampleSpace(now - since, c.format), now);
        }
    }
    Touch(channel);
}

// A space as long as the receiver's character: one break character (a zero byte with the break
// and framing bits), then nothing until the line is back at mark.
void Board::TakeBreakChar(std::uint32_t channel, SimTime now) {
    Channel& c = channels_[channel];
    c.breakTaken = true;
    Arrive(channel, SampleSpace(now - c.spaceSince, c.format), now);
}

// Unpaced lines hold a transmitter while its receiver is full; a byte taken lets it go on.
void Board::ReleaseSource(std::uint32_t channel, SimTime now) {
    if (clock_.GetMode() != Clock::Mode::Unpaced) {
        return;
    }
    const int source = SourceOf(channel);
    if (source >= 0) {
        StartNext(static_cast<std::uint32_t>(source), now);
    }
    StartFarEnd(channel, now);
}

}  // namespace sim
