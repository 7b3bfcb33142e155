// Time on the board's lines. Events (a character's last stop bit, a break filling a character,
// the end of a far-end break, a receive time-out, the RS-485 driver turning off) are processed in
// time order whenever the board is touched, so registers always show the present; between
// touches the machine's line thread wakes the board only when something an interrupt depends on
// is due, which keeps it from waking once per character.
#include <algorithm>

#include "sim/Board.h"

namespace sim {
namespace {

enum EventKind : int {
    ShiftEnd,
    FarEndShiftEnd,
    BreakCharDue,
    FarEndBreakEnds,
    ReceiveTimeout,
    DirectionDrops,
};

constexpr SimTime TimeoutCharacters = 4;  // receive time-out: 4 character times of quiet
constexpr int UnpacedBatch = 16;          // events the unpaced line thread takes per lock hold

// One character on its way to a receiver: the k-th (from 1) that will arrive.
struct Incoming {
    std::uint8_t value;
    std::uint8_t errors;
};

}  // namespace

SimTime Board::ChannelEvent(std::uint32_t channel, int* kind) const {
    const Channel& c = channels_[channel];
    const FarEnd& far = farEnds_[channel];
    SimTime best = Never;
    const auto consider = [&](SimTime t, int k) {
        if (t < best) {
            best = t;
            *kind = k;
        }
    };
    if (c.shifter.busy) {
        consider(c.shifter.end, ShiftEnd);
    }
    if (far.shifter.busy) {
        consider(far.shifter.end, FarEndShiftEnd);
    }
    const SimTime frame = c.format.FrameTime();
    if (c.spaceSince != Never && !c.breakTaken && frame > 0) {
        consider(c.spaceSince + frame, BreakCharDue);
    }
    if (far.breakUntil != Never) {
        consider(far.breakUntil, FarEndBreakEnds);
    }
    if (!c.rx.Empty() && !c.timeoutPending && frame > 0) {
        consider(c.lastRxActivity + TimeoutCharacters * frame, ReceiveTimeout);
    }
    if (c.directionUntil != Never) {
        consider(c.directionUntil, DirectionDrops);
    }
    return best;
}

// The earliest of the channels' next events. A channel's time as last found is a bound that is
// never late (see eventAt_): the earliest bound is looked at afresh until it holds.
SimTime Board::NextEvent(std::uint32_t* channel, int* kind) {
    for (std::uint32_t i = 0; i < channelCount_; ++i) {
        if ((staleEvents_ & (1u << i)) != 0) {
            eventAt_[i] = ChannelEvent(i, &eventKind_[i]);
        }
    }
    staleEvents_ = 0;
    for (;;) {
        std::uint32_t first = 0;
        for (std::uint32_t i = 1; i < channelCount_; ++i) {
            if (eventAt_[i] < eventAt_[first]) {
                first = i;
            }
        }
        const SimTime bound = eventAt_[first];
        if (bound == Never) {
            return Never;
        }
        eventAt_[first] = ChannelEvent(first, &eventKind_[first]);
        if (eventAt_[first] == bound) {
            *channel = first;
            *kind = eventKind_[first];
            return bound;
        }
    }
}

// Ends in Update() when anything happened, so that the access that caused the catch-up reads
// identification and summary as they now are.
void Board::CatchUp(SimTime now) {
    if (staleEvents_ == 0 && now < nextEvent_) {
        return;
    }
    for (std::uint32_t changed = 0;;) {
        std::uint32_t channel = 0;
        int kind = 0;
        const SimTime t = NextEvent(&channel, &kind);
        if (t > now) {
            nextEvent_ = t;
            if (changed != 0) {
                Update(changed);
            }
            return;
        }
        // An event changes its own channel and far end, and the channel wired to it.
        changed |= WiredWith(channel);
        staleEvents_ |= WiredWith(channel);
        switch (kind) {
        case ShiftEnd:
            CompleteShift(channel, t);
            break;
        case FarEndShiftEnd:
            CompleteFarEnd(channel, t);
            break;
        case BreakCharDue:
            TakeBreakChar(channel, t);
            break;
        case FarEndBreakEnds:
            farEnds_[channel].breakUntil = Never;
            LineLevelChanged(channel, t);
            StartFarEnd(channel, t);
            break;
        case ReceiveTimeout:
            channels_[channel].timeoutPending = true;
            break;
        case DirectionDrops:
            channels_[channel].directionUntil = Never;
            PropagateOutputs(channel, t);
            break;
        default:
            Update();
            return;
        }
    }
}

// When the transmit FIFO, draining one character per frame, reaches its threshold.
SimTime Board::TransmitAttention(std::uint32_t channel) const {
    const Channel& c = channels_[channel];
    SimTime t = c.directionUntil;
    if (c.shifter.busy && c.threArmed && !c.tx.Empty() && CanDepart(channel)) {
        const std::uint32_t level = c.tx.Count();
        const std::uint32_t threshold = TxThreshold(c);
        const std::uint32_t departures = level > threshold ? level - threshold : 1;
        t = std::min(t,
                     c.shifter.end + static_cast<SimTime>(departures - 1) * c.format.FrameTime());
    }
    return t;
}

// The first of the characters on their way to this receiver that changes its interrupt state:
// the one that reaches the trigger level, the first to overrun, one that carries errors or is
// sampled in another format, one that is XON or XOFF to a receiver watching for them. Then the
// time-out after the last of them. Reads by the driver can only make these later, so a wake at
// the time found is never late; a wake that finds nothing due costs one look.
SimTime Board::ReceiveAttention(std::uint32_t channel) const {
    const Channel& c = channels_[channel];
    const FarEnd& far = farEnds_[channel];
    const SimTime frame = c.format.FrameTime();
    SimTime t = far.breakUntil;
    if (c.spaceSince != Never && !c.breakTaken && frame > 0) {
        t = std::min(t, c.spaceSince + frame);
    }
    const std::uint32_t count = c.rx.Count();
    const std::uint32_t trigger = RxTrigger(c);
    const std::uint32_t depth = Depth(c);
    const bool watchesFlow = (c.featureCtl & reg::feature::XonXoffReceive) != 0;
    // Index (from 1) of the first significant arrival among `pending`, or 0. Only characters
    // that may carry errors or flow control need looking at one by one.
    const auto firstSignificant = [&](std::uint32_t pending, bool clean, bool scan,
                                      const auto& at) {
        if (!clean) {
            return 1u;
        }
        std::uint32_t k = pending + 1;
        if (count < trigger) {
            k = std::min(k, trigger - count);
        }
        k = std::min(k, count >= depth ? 1u : depth + 1 - count);
        for (std::uint32_t i = 1; scan && i < k && i <= pending; ++i) {
            const Incoming incoming = at(i);
            if (incoming.errors != 0 ||
                (watchesFlow && (incoming.value == c.xoffChar || incoming.value == c.xonChar))) {
                k = i;
                break;
            }
        }
        return k <= pending ? k : 0u;
    };
    SimTime lastArrival = -1;

    const int source = SourceOf(channel);
    if (source >= 0) {
        const auto s = static_cast<std::uint32_t>(source);
        const Channel& sender = channels_[s];
        if (sender.shifter.busy && (sender.lcr & reg::lcr::Break) == 0) {
            const std::uint32_t flow = sender.flowCharPending ? 1 : 0;
            const std::uint32_t queued = CanDepart(s) ? sender.tx.Count() : 0;
            const std::uint32_t pending = 1 + flow + queued;
            const SimTime senderFrame = sender.format.FrameTime();
            const bool clean = sender.shifter.format == c.format && sender.format == c.format;
            // Arrival k: the character on the line, then the flow character, then the FIFO.
            const auto at = [&](std::uint32_t k) {
                if (k == 1) {
                    return Incoming{sender.shifter.value, 0};
                }
                if (flow != 0 && k == 2) {
                    return Incoming{sender.flowChar, 0};
                }
                return Incoming{sender.tx.At(k - 2 - flow), 0};
            };
            if (watchesFlow || !clean || count < trigger || count + pending > depth) {
                const std::uint32_t k = firstSignificant(pending, clean, watchesFlow, at);
                if (k != 0) {
                    t = std::min(t, sender.shifter.end + static_cast<SimTime>(k - 1) * senderFrame);
                }
            }
            lastArrival = sender.shifter.end + static_cast<SimTime>(pending - 1) * senderFrame;
        }
    }
    if (far.shifter.busy) {
        const bool moving = !(far.honourRts && !c.rtsOut);
        const auto pending = static_cast<std::uint32_t>(
            1 + (moving ? std::min<std::size_t>(far.outgoing.size(), 2 * reg::FifoDepth) : 0));
        const SimTime farFrame = far.shifter.format.FrameTime();
        const bool clean = far.shifter.format == c.format;
        const auto at = [&](std::uint32_t k) {
            if (k == 1) {
                return Incoming{far.shifter.value, far.shifter.errors};
            }
            const RxEntry& entry = far.outgoing[k - 2];
            return Incoming{entry.value, entry.errors};
        };
        const std::uint32_t k = firstSignificant(pending, clean, true, at);
        if (k != 0) {
            t = std::min(t, far.shifter.end + static_cast<SimTime>(k - 1) * farFrame);
        }
        lastArrival =
            std::max(lastArrival, far.shifter.end + static_cast<SimTime>(pending - 1) * farFrame);
    }
    if (!c.timeoutPending && frame > 0 && (count > 0 || lastArrival >= 0)) {
        t = std::min(t, std::max(c.lastRxActivity, lastArrival) + TimeoutCharacters * frame);
    }
    return t;
}

SimTime Board::NextAttention() const {
    SimTime t = Never;
    for (std::uint32_t i = 0; i < channelCount_; ++i) {
        t = std::min({t, TransmitAttention(i), ReceiveAttention(i)});
    }
    return t;
}

SimTime Board::Advance(SimTime now) {
    const std::lock_guard guard(lock_);
    CatchUp(now);
    SimTime next = Never;
    if (clock_.GetMode() == Clock::Mode::Unpaced) {
        // Unpaced time jumps from event to event; a few of them per hold of the board's lock
        // keep the line thread from contending for it once per character.
        std::uint32_t channel = 0;
        int kind = 0;
        for (int batch = 0; batch < UnpacedBatch; ++batch) {
            next = NextEvent(&channel, &kind);
            if (next == Never) {
                break;
            }
            clock_.MoveTo(next);
            CatchUp(next);
        }
        next = NextEvent(&channel, &kind);
    } else if (clock_.GetMode() == Clock::Mode::Paced) {
        next = NextAttention();
    }  // manual time: nobody waits for the answer
    Update();
    touched_ = 0;
    plannedWake_.store(next, std::memory_order_release);
    return next;
}

// After an access or a test hook: if what it changed needs the board looked at sooner than
// planned, tell whoever keeps the board's time (the line thread, or a sink that keeps it).
void Board::Reschedule() {
    if (touched_ == 0 || clock_.GetMode() == Clock::Mode::Manual) {
        touched_ = 0;
        return;
    }
    const bool unpaced = clock_.GetMode() == Clock::Mode::Unpaced;
    // A touched channel changes its own transmitter and receiver, and what its transmitter
    // sends to the receiver it is wired to.
    SimTime t = Never;
    for (std::uint32_t i = 0; i < channelCount_; ++i) {
        if ((touched_ & (1u << i)) == 0) {
            continue;
        }
        const int wired = DestinationOf(i);
        if (unpaced) {
            int kind = 0;
            t = std::min(t, ChannelEvent(i, &kind));
            if (wired >= 0) {
                t = std::min(t, ChannelEvent(static_cast<std::uint32_t>(wired), &kind));
            }
        } else {
            t = std::min({t, TransmitAttention(i), ReceiveAttention(i)});
            if (wired >= 0) {
                t = std::min(t, ReceiveAttention(static_cast<std::uint32_t>(wired)));
            }
        }
    }
    touched_ = 0;
    if (t < plannedWake_.load(std::memory_order_relaxed)) {
        plannedWake_.store(t, std::memory_order_release);
        if (timeKeptBySink_.load(std::memory_order_relaxed)) {
            sink_->WakeEarlier();
        } else if (wake_) {
            wake_();
        }
    }
}

}  // namespace sim
