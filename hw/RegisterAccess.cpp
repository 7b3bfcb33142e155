#include "hw/RegisterAccess.h"

#include "platform/Rtss.h"

namespace {

// The window is only ever an address here: the bytes behind it belong to the board.
volatile std::uint8_t* RegisterAddress(const ChannelRegs* regs, RegOffset offset) {
    return reinterpret_cast<volatile std::uint8_t*>(reinterpret_cast<std::uintptr_t>(regs) +
                                                    offset);
}

}  // namespace

std::uint8_t ReadReg(const ChannelRegs* regs, RegOffset offset) {
    return RtLoadRegister8(RegisterAddress(regs, offset));
}

void WriteReg(ChannelRegs* regs, RegOffset offset, std::uint8_t value) {
    RtStoreRegister8(RegisterAddress(regs, offset), value);
}

void SetRegBits(ChannelRegs* regs, RegOffset offset, std::uint8_t bits) {
    WriteReg(regs, offset, static_cast<std::uint8_t>(ReadReg(regs, offset) | bits));
}

void ClearRegBits(ChannelRegs* regs, RegOffset offset, std::uint8_t bits) {
    WriteReg(regs, offset, static_cast<std::uint8_t>(ReadReg(regs, offset) & ~bits));
}

void LoadDivisorLatch(ChannelRegs* regs, std::uint16_t divisor) {
    const std::uint8_t lcr = ReadReg(regs, LCR);
    WriteReg(regs, LCR, static_cast<std::uint8_t>(lcr | Lcr::DivisorAccess));
    WriteReg(regs, DLL, static_cast<std::uint8_t>(divisor & 0xFF));
    WriteReg(regs, DLM, static_cast<std::uint8_t>(divisor >> 8));
    WriteReg(regs, LCR, lcr);
}
