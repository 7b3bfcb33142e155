#include "port/PortSteps.h"

#include "hw/RegisterAccess.h"
#include "port/PortRecord.h"

void SetEnhancedMode(PortRecord* port, bool on) {
    if (on) {
        SetRegBits(port->regs, FeatureCtl, Feature::Enhanced);
    } else {
        ClearRegBits(port->regs, FeatureCtl, Feature::Enhanced);
    }
}

namespace {

// Automatic CTS and RTS share one shape: the feature bit, and with it the modem-control output
// that the automatic control drives (OUT1 is released to it).
void SetAutoFlow(PortRecord* port, bool on, std::uint8_t featureBit, std::uint8_t mcrBit) {
    ChannelRegs* regs = port->regs;
    const std::uint8_t feature = ReadReg(regs, FeatureCtl);
    const std::uint8_t mcr = ReadReg(regs, MCR);
    if (on) {
        WriteReg(regs, FeatureCtl, static_cast<std::uint8_t>(feature | featureBit));
        WriteReg(regs, MCR, static_cast<std::uint8_t>((mcr & ~Mcr::Out1) | mcrBit));
    } else {
        WriteReg(regs, FeatureCtl, static_cast<std::uint8_t>(feature & ~featureBit));
    }
}

}  // namespace

void SetAutoCts(PortRecord* port, bool on) { SetAutoFlow(port, on, Feature::AutoCts, Mcr::Rts); }

void SetAutoRts(PortRecord* port, bool on) { SetAutoFlow(port, on, Feature::AutoRts, Mcr::Dtr); }

void SetSoftwareFlow(PortRecord* port, std::uint8_t direction, bool on) {
    ChannelRegs* regs = port->regs;
    const std::uint8_t bit =
        direction == SoftwareFlowDirection0 ? Feature::XonXoff0 : Feature::XonXoff1;
    const std::uint8_t feature = ReadReg(regs, FeatureCtl);
    if (on) {
        // The characters are in place before the channel starts acting on them.
        WriteReg(regs, XonReg, port->config.xonChar);
        WriteReg(regs, XoffReg, port->config.xoffChar);
        WriteReg(regs, FeatureCtl, static_cast<std::uint8_t>(feature | bit));
    } else {
        WriteReg(regs, FeatureCtl, static_cast<std::uint8_t>(feature & ~bit));
    }
}

void SetFifoTriggers(PortRecord* port) {
    // FifoTrigCtl first: it makes the level registers take the trigger levels written next.
    WriteReg(port->regs, FifoTrigCtl, FifoTrig::SelectLevels);
    WriteReg(port->regs, TxLevel, FifoTrig::DefaultLevel);
    WriteReg(port->regs, RxLevel, FifoTrig::DefaultLevel);
}
