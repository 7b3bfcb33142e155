#include "hw/LineDriver.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"

bool pinsReady = false;

namespace {

void PinSetup(ChannelRegs* regs) {
    WriteReg(regs, PinCtl91, Pin::Ctl91Setup);
    WriteReg(regs, PinCtl8F, Pin::Ctl8FSetup);
    WriteReg(regs, PinCtl92, Pin::Ctl92Setup);
    WriteReg(regs, PinCtl93, Pin::Ctl93Setup);
    WriteReg(regs, PinLevel, Pin::LevelSetup);
}

// Every phase ends with the strobe bit raised, which latches what the phase put on the pins.
void PinStrobe(ChannelRegs* regs) { SetRegBits(regs, PinLevel, Pin::Strobe); }

void PinSelectPair(ChannelRegs* regs, std::uint8_t pair) {
    const std::uint8_t level = ReadReg(regs, PinLevel);
    WriteReg(regs, PinLevel,
             static_cast<std::uint8_t>((level & Pin::LowBits) | (pair << Pin::FieldShift)));
    PinStrobe(regs);
}

std::uint8_t PinReadField(ChannelRegs* regs) {
    const std::uint8_t level = ReadReg(regs, PinLevel);
    WriteReg(regs, PinLevel, static_cast<std::uint8_t>((level & Pin::KeepOnRead) | Pin::ReadPhase));
    PinStrobe(regs);
    return static_cast<std::uint8_t>(ReadReg(regs, PinLevel) >> Pin::FieldShift);
}

void PinWriteField(ChannelRegs* regs, std::uint8_t field) {
    const std::uint8_t level = ReadReg(regs, PinLevel);
    WriteReg(regs, PinLevel,
             static_cast<std::uint8_t>((level & Pin::KeepOnWrite) | (field << Pin::FieldShift)));
    PinStrobe(regs);
}

void WriteLineDriverPins(ChannelRegs* regs, std::uint8_t channel, std::uint8_t driverMode) {
    if (!pinsReady) {
        PinSetup(regs);
        pinsReady = true;
    }
    PinSelectPair(regs, static_cast<std::uint8_t>(channel / 2));
    const std::uint8_t field = PinReadField(regs);
    // The pair's other channel keeps its mode: its half of the field goes back as read.
    const std::uint8_t value =
        (channel % 2 != 0) ? static_cast<std::uint8_t>((field & Pin::EvenChannelField) |
                                                       (driverMode << Pin::OddChannelShift))
                           : static_cast<std::uint8_t>((field & Pin::OddChannelField) | driverMode);
    PinWriteField(regs, value);
}

}  // namespace

void SetLineDriverMode(ChannelRegs* regs, std::uint8_t channel, std::uint8_t driverMode) {
    const std::uint8_t trig = ReadReg(regs, FifoTrigCtl);
    if (driverMode != Pin::DriverDefault) {
        WriteReg(regs, FifoTrigCtl, static_cast<std::uint8_t>(trig | FifoTrig::AutoDirection));
        WriteReg(regs, TurnaroundDelay, Turnaround::Rs485Delay);
    } else {
        WriteReg(regs, FifoTrigCtl, static_cast<std::uint8_t>(trig & ~FifoTrig::AutoDirection));
    }
    // The pins are shared by every channel and by the interrupt service's pulse: nothing may run
    // between the select, read and write phases. The state found is restored, so inside the
    // section of an open or a configuration interrupts stay disabled.
    const InterruptState state = DisableInterrupts();
    WriteLineDriverPins(regs, channel, driverMode);
    RestoreInterrupts(state);
}
