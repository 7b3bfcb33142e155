#include "port/Isr.h"

#include <bit>

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/FifoTransfer.h"
#include "port/PortEvents.h"
#include "port/PortRecord.h"
#include "port/PortReport.h"

IsrContext isrContext = {};

namespace {

constexpr char NullContextMessage[] = "Isr context NULL\n";

enum class ChannelOutcome {
    Idle,    // nothing was pending at the first look
    Served,  // served until the channel reported nothing pending
    GaveUp,  // still pending after MaxChannelPasses
};

// One pending source of the channel, as IIR identifies it.
void ServeSource(std::uint8_t channel, PortRecord* port, std::uint8_t source) {
    switch (source) {
    case Iir::ModemStatus:
    case Iir::ModemStatusAlt:
        // The read clears the modem-status interrupt and the change bits, which only the waiters
        // hear of.
        RaiseModemChange(channel, ReadReg(port->regs, MSR));
        break;
    case Iir::TxEmpty:
        TransmitService(channel);
        break;
    case Iir::RxData:
    case Iir::RxTimeout:
        ReceiveService(channel);
        break;
    case Iir::LineStatus: {
        // The request side changes lineErrors and the counts only inside interrupt-disabled
        // sections, which never overlap this service, so it needs no section of its own.
        const std::uint8_t lineStatus = ReadReg(port->regs, LSR);
        NoteLineErrors(channel, port, lineStatus);
        RaiseLineErrors(channel, lineStatus);
        break;
    }
    default:
        break;  // nothing to do; IIR is read again
    }
}

std::uint8_t PendingSource(PortRecord* port) {
    return static_cast<std::uint8_t>(ReadReg(port->regs, IIR) & Iir::Mask);
}

ChannelOutcome ServiceChannel(std::uint8_t channel) {
    PortRecord* port = FindPort(channel);
    if (port == nullptr) {
        return ChannelOutcome::Idle;
    }
    std::uint8_t source = PendingSource(port);
    if ((source & Iir::NonePending) != 0) {
        return ChannelOutcome::Idle;
    }
    for (std::uint32_t pass = 0; (source & Iir::NonePending) == 0; ++pass) {
        if (pass == MaxChannelPasses) {
            return ChannelOutcome::GaveUp;
        }
        ServeSource(channel, port, source);
        source = PendingSource(port);
    }
    return ChannelOutcome::Served;
}

// IntSummary bits the service can act on. A channel without a record has no window that this
// side may reach; its IER is never enabled by this driver (set-up clears it, and only the port
// operations, which need a record, set it), so such a bit is a board fault. Its window is left
// alone: the context does not say how far the mapping reaches, so a write there could fault.
std::uint8_t ChannelsWithRecord() {
    std::uint8_t mask = 0;
    for (std::uint8_t channel = 0; channel < MaxPorts; ++channel) {
        if (FindPort(channel) != nullptr) {
            mask = static_cast<std::uint8_t>(mask | (1U << channel));
        }
    }
    return mask;
}

// A context whose summary address set-up has not filled is treated as a null one: there is no
// register either routine may read.
bool Unusable(const IsrContext* isr) { return isr == nullptr || isr->intSummaryAddr == nullptr; }

}  // namespace

std::int32_t RTFCNDCL InterruptPrecheck(void* context) {
    const auto* isr = static_cast<const IsrContext*>(context);
    if (Unusable(isr)) {
        OutputDebugStringA(NullContextMessage);
        return RtValue::PrecheckNotOurs;
    }
    return RtLoadRegister8(isr->intSummaryAddr) != 0 ? RtValue::PrecheckRunService
                                                     : RtValue::PrecheckNotOurs;
}

RtBoolean RTFCNDCL InterruptService(void* context) {
    const auto* isr = static_cast<const IsrContext*>(context);
    if (Unusable(isr)) {
        RtPrintf("%s", NullContextMessage);
        return 1;
    }
    const bool pulse = isr->pinPulse != 0 && isr->pinLevelAddr != nullptr;
    if (pulse) {
        RtStoreRegister8(isr->pinLevelAddr, Pin::PulseStart);
    }
    // The summary is read afresh after each channel, so the lowest-numbered pending channel is
    // always the next one served. A bit the service cannot act on in this call (no record, a
    // channel that showed nothing pending, one that gave up) is set aside; when only such bits
    // remain the service ends, and a line that stays asserted brings it back.
    std::uint8_t result = 1;
    std::uint8_t setAside = static_cast<std::uint8_t>(~ChannelsWithRecord());
    for (;;) {
        const std::uint8_t summary = RtLoadRegister8(isr->intSummaryAddr);
        const auto servable = static_cast<std::uint8_t>(summary & ~setAside);
        if (servable == 0) {
            break;
        }
        const auto channel = static_cast<std::uint8_t>(std::countr_zero(servable));
        const ChannelOutcome outcome = ServiceChannel(channel);
        result = outcome == ChannelOutcome::Idle ? 0 : 1;
        if (outcome != ChannelOutcome::Served) {
            setAside = static_cast<std::uint8_t>(setAside | (1U << channel));
        }
    }
    if (pulse) {
        RtStoreRegister8(isr->pinLevelAddr, Pin::PulseEnd);
    }
    return result;
}
