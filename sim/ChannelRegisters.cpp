// A channel's registers as the UART decodes them: one switch for reads, one for writes. Reads
// have the side effects of the chip: RHR and the FIFO window take the byte, IIR clears the
// transmit-empty it reports, LSR clears its error bits, MSR its change flags.
#include <algorithm>

#include "sim/Board.h"

namespace sim {

std::uint8_t Board::LineStatus(const Channel& c) const {
    std::uint8_t lsr = c.lsrLatched;
    if (!c.rx.Empty()) {
        lsr |= reg::lsr::DataReady;
    }
    if (c.tx.Empty()) {
        lsr |= reg::lsr::ThrEmpty;
        if (!c.shifter.busy) {
            lsr |= reg::lsr::TxEmpty;
        }
    }
    if (c.fifoErrorLatch) {
        lsr |= reg::lsr::FifoError;
    }
    return lsr;
}

// TxLevel and RxLevel count live. A test can make successive reads disagree, as a counter read
// while it changes does; the jitter never shows more data or room than there is.
std::uint8_t Board::ReadLevel(Channel& c, std::uint32_t level, bool transmit) {
    auto value = level;
    if (c.unstableReads > 0) {
        --c.unstableReads;
        c.unstableFlip = !c.unstableFlip;
        if (c.unstableFlip) {
            // Transmit: one byte more (less room); receive: one byte less.
            if (transmit && value < reg::FifoDepth) {
                ++value;
            } else if (!transmit && value > 0) {
                --value;
            }
        }
    }
    return static_cast<std::uint8_t>(value);
}

std::uint8_t Board::ReadChannel(std::uint32_t channel, std::uint32_t r, SimTime now) {
    Channel& c = channels_[channel];
    const bool dlab = (c.lcr & reg::lcr::Dlab) != 0;
    if (r >= reg::FifoWindowStart && r < reg::FifoWindowEnd) {
        // Every byte of the window takes the next received byte, whatever its offset.
        ++counters_.burstReads;
        const auto value = PopRx(channel, now);
        if (!value) {
            ++c.counters.rxUnderreads;
        }
        return value.value_or(0);
    }
    switch (r) {
    case reg::Rhr:
        return dlab ? c.dll : PopRx(channel, now).value_or(0);
    case reg::Ier:
        return dlab ? c.dlm : c.ier;
    case reg::Iir: {
        const auto value = static_cast<std::uint8_t>(c.iir | (c.fifosOn ? reg::iir::FifosOn : 0));
        if (c.iir == reg::iir::TxEmpty) {
            c.threPending = false;  // reading the identification that reports it clears it
        }
        return value;
    }
    case reg::Lcr:
        return c.lcr;
    case reg::Mcr:
        return c.mcr;
    case reg::Lsr: {
        const std::uint8_t value = LineStatus(c);
        c.lsrLatched = 0;
        // Bit 7 stays only while an error byte other than the one just reported waits: the
        // 16550's rule ("cleared by reading LSR if there are no subsequent errors in the FIFO").
        const bool topHasError = !c.rx.Empty() && c.rx.Front().errors != 0;
        c.fifoErrorLatch = c.errorEntries > (topHasError ? 1u : 0u);
        return value;
    }
    case reg::Msr: {
        const auto value = static_cast<std::uint8_t>(c.modemIn | c.msrDelta);
        c.msrDelta = 0;
        return value;
    }
    case reg::Scratch:
        return c.scratch;
    case reg::FifoTrigCtl:
        return c.fifoTrigCtl;
    case reg::FeatureCtl:
        return c.featureCtl;
    case reg::TxLevel:
        return ReadLevel(c, c.tx.Count(), true);
    case reg::RxLevel:
        return ReadLevel(c, c.rx.Count(), false);
    case reg::Xoff:
        return c.xoffChar;
    case reg::Xon:
        return c.xonChar;
    default:
        return 0;  // nothing decoded here
    }
}

void Board::WriteChannel(std::uint32_t channel, std::uint32_t r, std::uint8_t value, SimTime now) {
    Channel& c = channels_[channel];
    const bool dlab = (c.lcr & reg::lcr::Dlab) != 0;
    if (r >= reg::FifoWindowStart && r < reg::FifoWindowEnd) {
        ++counters_.burstWrites;
        PushTx(channel, value, now);
        return;
    }
    switch (r) {
    case reg::Rhr:
        if (dlab) {
            c.dll = value;
            RefreshFormat(c);
            Touch(channel);
        } else {
            PushTx(channel, value, now);  // THR
        }
        return;
    case reg::Ier:
        if (dlab) {
            c.dlm = value;
            RefreshFormat(c);
            Touch(channel);
            return;
        }
        {
            // Bits 4-7 (sleep, XOFF and RTS/CTS interrupts of the enhanced set) are not modelled:
            // this system only ever writes the four standard enables.
            const std::uint8_t old = c.ier;
            c.ier = static_cast<std::uint8_t>(value & reg::ier::Standard);
            const bool wasOn = (old & reg::ier::TxEmpty) != 0;
            const bool isOn = (c.ier & reg::ier::TxEmpty) != 0;
            if (!wasOn && isOn && c.tx.Count() < Depth(c)) {
                c.threPending = true;  // enabling it while there is room raises it at once
            } else if (wasOn && !isOn) {
                c.threPending = false;
            }
        }
        return;
    case reg::Iir: {  // FCR
        const bool enable = (value & reg::fcr::Enable) != 0;
        const bool txHadBytes = !c.tx.Empty();
        bool resetRx = (value & reg::fcr::ResetRx) != 0;
        bool resetTx = (value & reg::fcr::ResetTx) != 0;
        if (enable != c.fifosOn) {
            resetRx = resetTx = true;  // switching the FIFOs on or off empties both
            c.fifosOn = enable;
        }
        c.fcrTrigger = static_cast<std::uint8_t>(value & reg::fcr::RxTriggerMask);
        if (resetRx) {
            // The shift register is not cleared; what it is receiving still arrives.
            c.rx.Clear();
            c.errorEntries = 0;
            c.fifoErrorLatch = false;
            c.timeoutPending = false;
            EvaluateReceiveFlow(channel, now);
        }
        if (resetTx) {
            c.tx.Clear();
            if (txHadBytes) {
                c.threPending = true;  // the transmit FIFO has just become empty
            }
            c.threArmed = false;
        }
        Touch(channel);
        return;
    }
    case reg::Lcr: {
        const std::uint8_t old = c.lcr;
        c.lcr = value;
        RefreshFormat(c);
        if (((old ^ value) & reg::lcr::Break) != 0) {
            if ((value & reg::lcr::Break) != 0) {
                c.shifter.spaced = c.shifter.busy;  // the character on the line is lost in it
            }
            const int destination = DestinationOf(channel);
            if (destination >= 0) {
                LineLevelChanged(static_cast<std::uint32_t>(destination), now);
            }
        }
        Touch(channel);
        return;
    }
    case reg::Mcr: {
        // The prescaler and the other upper bits are writable only with the enhanced functions on.
        // OUT1, OUT2 and the internal loopback bit are kept but drive nothing: no pin of this
        // board hangs on them, and this system uses no internal loopback.
        const bool enhanced = (c.featureCtl & reg::feature::Enhanced) != 0;
        const auto keep = static_cast<std::uint8_t>(enhanced ? 0 : reg::mcr::EnhancedOnly);
        c.mcr = static_cast<std::uint8_t>((c.mcr & keep) | (value & ~keep));
        RefreshFormat(c);
        PropagateOutputs(channel, now);
        Touch(channel);
        return;
    }
    case reg::Lsr:
        return;     // read-only
    case reg::Msr:  // TurnaroundDelay
        c.turnaround = value;
        return;
    case reg::Scratch:
        c.scratch = value;
        return;
    case reg::FifoTrigCtl:
        c.fifoTrigCtl = value;
        PropagateOutputs(channel, now);  // automatic direction takes over RTS, or gives it back
        EvaluateReceiveFlow(channel, now);
        Touch(channel);
        return;
    case reg::FeatureCtl: {
        const std::uint8_t old = c.featureCtl;
        c.featureCtl = value;
        const std::uint8_t off = static_cast<std::uint8_t>(old & ~value);
        if ((off & reg::feature::XonXoffReceive) != 0) {
            c.heldByXoff = false;
        }
        if ((off & reg::feature::XonXoffTransmit) != 0) {
            c.xoffSent = false;
        }
        if ((off & reg::feature::AutoRts) != 0) {
            c.rtsThrottled = false;
        }
        EvaluateReceiveFlow(channel, now);
        PropagateOutputs(channel, now);
        StartNext(channel, now);
        Touch(channel);
        return;
    }
    case reg::TxLevel:
        c.txTriggerReg = value;
        Touch(channel);
        return;
    case reg::RxLevel:
        c.rxTriggerReg = value;
        EvaluateReceiveFlow(channel, now);
        Touch(channel);
        return;
    case reg::Xoff:
        c.xoffChar = value;
        return;
    case reg::Xon:
        c.xonChar = value;
        return;
    default:
        return;  // nothing decoded here
    }
}

}  // namespace sim
