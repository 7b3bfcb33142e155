#include "port/PortOps.h"

#include <cstring>

#include "hw/BoardClock.h"
#include "hw/Divisor.h"
#include "hw/LineDriver.h"
#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/LineSignals.h"
#include "port/PortEvents.h"
#include "port/PortRecord.h"
#include "port/PortReport.h"
#include "port/PortSteps.h"
#include "port/ReceiveHold.h"
#include "wire/ExtensionRecords.h"

// Each operation runs in one interrupt-disabled section from its first step to its last, so the
// interrupt service never sees a channel or a ring half reprogrammed. The steps called inside
// (ClearBreak, SetLineDriverMode) restore the disabled state they find.
namespace {

constexpr std::int32_t OpenBaud = 9600;
constexpr std::uint8_t MinDataBits = 5;
constexpr std::uint8_t MaxDataBits = 8;
constexpr std::uint16_t DivisorRefused = 0x8000;  // SetPortConfig refuses a divisor with this bit
static_assert(FifoTrig::DefaultLevel == ReceiveTrigger::Highest);

// Break and divisor access are cleared before a line is programmed; the word format stays.
constexpr std::uint8_t LcrControlBits = Lcr::Break | Lcr::DivisorAccess;

void ResetReceiveRing(PortRecord* port) {
    port->rxCount.store(0);
    port->rxHead = 0;
    port->rxTail = 0;
}

// An empty ring leaves nothing to send, so the transmitter is idle from here: the next write kicks
// it, and a break waiting for the line to go idle ends. Left at 1 after a close, which turns the
// enables off, txActive would never be cleared by a transmit interrupt.
void ResetTransmitRing(PortRecord* port) {
    port->txCount.store(0);
    port->txHead = 0;
    port->txTail = 0;
    port->txActive.store(0);
}

void ResetRings(PortRecord* port) {
    ResetReceiveRing(port);
    ResetTransmitRing(port);
}

// A writer waiting for room, or for the ring to empty, finds it emptied by a request: no transmit
// burst will tell it. Called after the section.
void NoteTransmitRingEmptied(std::uint8_t portIndex) {
    RaisePortEvents(portIndex, PortEvent::TransmitRingEmpty | PortEvent::TransmitRoom);
}

// The channel takes FCR's FIFO resets only with its enhanced functions off.
void WriteFifoControl(PortRecord* port, std::uint8_t fcr) {
    SetEnhancedMode(port, false);
    WriteReg(port->regs, FCR, fcr);
    SetEnhancedMode(port, true);
}

// With the FIFOs off, RHR gives up the byte the holding register may still have.
void DropHeldByte(ChannelRegs* regs) {
    WriteReg(regs, FCR, Fcr::Off);
    (void)ReadReg(regs, RHR);
}

// The clock prescaler bit of MCR would divide the rate again; it is off for every divisor load.
void LoadDivisor(PortRecord* port, std::uint16_t divisor) {
    ClearRegBits(port->regs, MCR, Mcr::ClockPrescale);
    LoadDivisorLatch(port->regs, divisor);
}

bool ParityBits(char parity, std::uint8_t* bits) {
    switch (parity) {
    case Parity::None:
        *bits = Lcr::ParityNone;
        return true;
    case Parity::Odd:
        *bits = Lcr::ParityOdd;
        return true;
    case Parity::Even:
        *bits = Lcr::ParityEven;
        return true;
    case Parity::Mark:
        *bits = Lcr::ParityMark;
        return true;
    case Parity::Space:
        *bits = Lcr::ParitySpace;
        return true;
    default:
        return false;
    }
}

// The LCR word format for the configuration, or false when the channel cannot produce it.
bool WordFormat(const LineConfig& config, std::uint8_t* lcr) {
    if (config.dataBits < MinDataBits || config.dataBits > MaxDataBits) {
        return false;
    }
    std::uint8_t parity = 0;
    if (!ParityBits(config.parity, &parity)) {
        return false;
    }
    // LCR bit 2 means two stop bits, or one and a half with 5 data bits: each code is accepted
    // only with the word length that gives it that meaning.
    const bool fiveBits = config.dataBits == MinDataBits;
    std::uint8_t stop = 0;
    switch (config.stopBits) {
    case StopBits::One:
        stop = 0;
        break;
    case StopBits::Two:
        if (fiveBits) return false;
        stop = Lcr::TwoStop;
        break;
    case StopBits::OneAndAHalf:
        if (!fiveBits) return false;
        stop = Lcr::TwoStop;
        break;
    default:
        return false;
    }
    *lcr =
        static_cast<std::uint8_t>((Lcr::Data5 + (config.dataBits - MinDataBits)) | parity | stop);
    return true;
}

void ApplyFlowControl(PortRecord* port) {
    const std::uint8_t flow = port->config.flowControl;
    SetAutoCts(port, (flow & (FlowControl::AutoCts | FlowControl::AutoCtsWithOut1)) != 0);
    SetAutoRts(port, (flow & (FlowControl::AutoRts | FlowControl::AutoRtsWithOut1)) != 0);
    if ((flow & (FlowControl::AutoRtsWithOut1 | FlowControl::AutoCtsWithOut1)) != 0) {
        SetRegBits(port->regs, MCR, Mcr::Out1 | Mcr::Dtr);
    }
}

// The line-driver pins carry a code of their own for each RS-485 line mode; every other line mode
// selects the default driver.
std::uint8_t DriverModeFor(std::uint8_t lineMode) {
    switch (lineMode) {
    case LineMode::Rs485A:
        return Pin::DriverRs485A;
    case LineMode::Rs485B:
        return Pin::DriverRs485B;
    default:
        return Pin::DriverDefault;
    }
}

void ApplyLineMode(PortRecord* port, std::uint8_t portIndex) {
    SetLineDriverMode(port->regs, portIndex, DriverModeFor(port->config.lineMode));
}

// What an open leaves the line with, as SerialGetConfig reports it.
LineConfig OpenedSettings() {
    LineConfig opened{};
    opened.baudRate = OpenBaud;
    opened.parity = Parity::None;
    opened.stopBits = StopBits::One;
    opened.dataBits = MaxDataBits;
    opened.xoffChar = DefaultXoffChar;
    opened.xonChar = DefaultXonChar;
    opened.lineMode = LineMode::Default;
    return opened;
}

void ApplySoftwareFlow(PortRecord* port) {
    const bool on = port->config.softwareFlow != 0;
    SetSoftwareFlow(port, SoftwareFlowDirection0, on);
    SetSoftwareFlow(port, SoftwareFlowDirection1, on);
}

}  // namespace

void OpenPort(std::uint8_t portIndex) {
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr) {
        return;
    }
    ChannelRegs* regs = port->regs;
    const InterruptState state = DisableInterrupts();
    ResetRings(port);
    // The FIFOs go off, give up a stale byte and come back reset in one enhanced-off stretch.
    SetEnhancedMode(port, false);
    DropHeldByte(regs);
    WriteReg(regs, FCR, Fcr::EnableAndReset);
    SetEnhancedMode(port, true);
    ClearRegBits(regs, MCR, Mcr::Out2);
    SetAutoCts(port, false);
    SetAutoRts(port, false);
    port->config.xonChar = DefaultXonChar;
    port->config.xoffChar = DefaultXoffChar;
    SetSoftwareFlow(port, SoftwareFlowDirection0, false);
    SetSoftwareFlow(port, SoftwareFlowDirection1, false);
    SetFifoTriggers(port);
    ClearRegBits(regs, LCR, LcrControlBits);
    // Loaded as it comes: with a clock too slow for 9600 baud that is InvalidDivisor, the slowest
    // rate the channel has; the client's SetPortConfig brings the real one.
    const std::uint16_t divisor = ComputeDivisor(boardClockHz, OpenBaud);
    LoadDivisor(port, divisor);
    WriteReg(regs, LCR, Lcr::Default);
    if (port->hasLineDriverControl != 0) {
        port->config.lineMode = LineMode::Default;
        ApplyLineMode(port, portIndex);
    }
    StartPortReport(portIndex, OpenedSettings(), divisor);
    // An open leaves IER as it was, but a port held until now would keep its received-data
    // interrupt masked with nothing left to lift it.
    if (UpdateReceiveHold(portIndex, port)) {
        WriteReg(regs, IER, WantedEnables(portIndex));
    }
    RestoreInterrupts(state);
    NoteTransmitRingEmptied(portIndex);
}

std::uint32_t ClosePort(std::uint8_t portIndex) {
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr) {
        return 0;
    }
    ChannelRegs* regs = port->regs;
    const InterruptState state = DisableInterrupts();
    WriteReg(regs, IER, Ier::None);
    ResetRings(port);  // and with it the transmitter idle, so ClearBreak ends a break
    (void)UpdateReceiveHold(portIndex, port);  // the empty ring ends a hold; IER stays off
    ClearBreak(port);
    ClearRts(port);
    ClearDtr(port);
    DropHeldByte(regs);
    WriteFifoControl(port, Fcr::EnableAndReset);
    WriteReg(regs, IER, Ier::None);  // undoes the kick ClearBreak may have made
    ClearRegBits(regs, MCR, Mcr::Out2);
    RestoreInterrupts(state);
    NoteTransmitRingEmptied(portIndex);
    return 0;
}

std::uint32_t SetPortConfig(std::uint8_t portIndex, const std::uint8_t* data) {
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr || data == nullptr) {
        return RtError::InvalidParameter;
    }
    ChannelRegs* regs = port->regs;
    const InterruptState state = DisableInterrupts();
    // config keeps what the client sent, also when it is refused.
    std::memcpy(&port->config, data, sizeof(LineConfig));

    // Every check comes before the first register write: a refused request must not reset the
    // FIFOs (losing received bytes) or change the rate of a port that goes on working.
    const std::uint16_t divisor = ComputeDivisor(boardClockHz, port->config.baudRate);
    std::uint8_t lcr = 0;
    if ((divisor & DivisorRefused) != 0 || !WordFormat(port->config, &lcr)) {
        RestoreInterrupts(state);
        return RtError::InvalidParameter;
    }

    WriteFifoControl(port, Fcr::EnableAndReset);
    LoadDivisor(port, divisor);
    ClearRegBits(regs, LCR, LcrControlBits);
    WriteReg(regs, LCR, lcr);
    port->lcrShadow = lcr;
    ApplyFlowControl(port);
    ApplySoftwareFlow(port);
    if (port->hasLineDriverControl != 0) {
        ApplyLineMode(port, portIndex);
    }
    // The new settings decide whether a nearly full ring holds the far end from now on.
    NoteSettingsInForce(portIndex, port->config, divisor);
    (void)UpdateReceiveHold(portIndex, port);
    WriteReg(regs, IER, WantedEnables(portIndex));
    RestoreInterrupts(state);
    return 0;
}

void FlushPort(std::uint8_t portIndex, bool receive, bool transmit) {
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr) {
        return;
    }
    std::uint8_t fifoResets = 0;
    const InterruptState state = DisableInterrupts();
    if (receive) {
        ResetReceiveRing(port);
        fifoResets |= Fcr::ResetReceive;
    }
    if (transmit) {
        ResetTransmitRing(port);
        fifoResets |= Fcr::ResetTransmit;
    }
    // The same FIFO mode and trigger bits as every other FCR write of an open port, so only the
    // chosen FIFOs are emptied.
    WriteFifoControl(port, static_cast<std::uint8_t>(Fcr::Enable | fifoResets));
    if (UpdateReceiveHold(portIndex, port)) {  // an emptied receive ring ends a hold
        WriteReg(port->regs, IER, WantedEnables(portIndex));
    }
    RestoreInterrupts(state);
    if (transmit) {
        NoteTransmitRingEmptied(portIndex);
    }
}

// The level registers take trigger levels once FifoTrigCtl selects them, as every open leaves it
// (the line-driver step changes only its direction-control bit). What the FIFO holds stays: a
// level below it interrupts at once, and the service drains it.
bool SetReceiveTrigger(std::uint8_t portIndex, std::uint8_t level) {
    PortRecord* port = FindPort(portIndex);
    if (port == nullptr || level < ReceiveTrigger::Lowest || level > ReceiveTrigger::Highest ||
        PortReports[portIndex].receiveTrigger == 0) {
        return false;
    }
    // One write, which the receive service's level readings (the same offset, read) do not
    // disturb: no section.
    WriteReg(port->regs, RxLevel, level);
    PortReports[portIndex].receiveTrigger = level;
    return true;
}
