#include "port/LineSignals.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/PortRecord.h"
#include "port/TransmitKick.h"

// The DTR and RTS operations run on the port's own request thread, the only writer of MCR, so
// their read-modify-write needs no section. mcrShadow is reloaded from MCR each time so that a
// change other code made meanwhile survives.
namespace {

void ChangeModemControl(PortRecord* port, std::uint8_t set, std::uint8_t clear) {
    if (port == nullptr) {
        return;
    }
    port->mcrShadow = ReadReg(port->regs, MCR);
    port->mcrShadow = static_cast<std::uint8_t>((port->mcrShadow | set) & ~clear);
    WriteReg(port->regs, MCR, port->mcrShadow);
}

}  // namespace

void SetDtr(PortRecord* port) { ChangeModemControl(port, Mcr::Dtr, 0); }
void ClearDtr(PortRecord* port) { ChangeModemControl(port, 0, Mcr::Dtr); }
void SetRts(PortRecord* port) { ChangeModemControl(port, Mcr::Rts, 0); }
void ClearRts(PortRecord* port) { ChangeModemControl(port, 0, Mcr::Rts); }

void SetBreak(PortRecord* port) {
    if (port == nullptr) {
        return;
    }
    // Same discipline as ClearBreak: LCR is not changed under the interrupt service's feet.
    // LCR is read from the channel, not from lcrShadow, so its other bits stay as they are.
    const InterruptState state = DisableInterrupts();
    SetRegBits(port->regs, LCR, Lcr::Break);
    RestoreInterrupts(state);
}

void ClearBreak(PortRecord* port) {
    if (port == nullptr) {
        return;
    }
    // txActive and the kick belong together with the transmit service: while it still sends the
    // ring the break stays on. Once the break has ended, the kick resumes sending what the ring
    // holds. The state found is restored: inside ClosePort's section interrupts stay disabled.
    const InterruptState state = DisableInterrupts();
    if (port->txActive.load() == 0) {
        ClearRegBits(port->regs, LCR, Lcr::Break);
        KickTransmitter(port);
    }
    RestoreInterrupts(state);
}

// The single-byte status reads need no section: each is one register read or one byte, and a read
// of MSR or LSR consumes the change or error bits it reports, as the channel defines.
std::uint8_t ReadModemStatus(PortRecord* port) {
    return port == nullptr ? 0 : ReadReg(port->regs, MSR);
}

std::uint8_t ReadLineStatus(PortRecord* port) {
    return port == nullptr ? 0 : ReadReg(port->regs, LSR);
}

std::uint8_t ReadModemControl(PortRecord* port) {
    return port == nullptr ? 0
                           : static_cast<std::uint8_t>(ReadReg(port->regs, MCR) & Mcr::SignalMask);
}

std::uint8_t ReadLineErrors(PortRecord* port) {
    return port == nullptr ? 0 : port->lineErrors.load();
}

std::uint32_t ReadRxCount(PortRecord* port) {
    if (port == nullptr) {
        return 0;
    }
    // The receive service changes rxCount; take it as one consistent value.
    const InterruptState state = DisableInterrupts();
    const std::uint32_t count = port->rxCount.load();
    RestoreInterrupts(state);
    return count;
}
