#include <gtest/gtest.h>

#include <vector>

#include "hw/RegisterAccess.h"
#include "tests/support/ScriptedRegisters.h"

using fake::R;
using fake::W;

namespace {

TEST(RegisterAccess, DivisorLatchSequenceLeavesLcrAsFound) {
    fake::ScriptedRegisters regs;
    for (const std::uint8_t lcr : {std::uint8_t{0x03}, std::uint8_t{0x9B}}) {
        regs.Set(LCR, lcr, 3);
        regs.ClearLog();
        LoadDivisorLatch(regs.Window(3), 0x1234);
        EXPECT_EQ(regs.Log(), (std::vector<fake::Access>{
                                  R(LCR, lcr, 3),
                                  W(LCR, lcr | Lcr::DivisorAccess, 3),  // DLL/DLM visible
                                  W(DLL, 0x34, 3),
                                  W(DLM, 0x12, 3),
                                  W(LCR, lcr, 3),  // exactly as found, divisor bit included
                              }));
    }
}

TEST(RegisterAccess, ReadModifyWriteChangesOnlyTheNamedBits) {
    fake::ScriptedRegisters regs;
    regs.Set(MCR, 0x0B, 1);
    ClearRegBits(regs.Window(1), MCR, Mcr::Out2);
    SetRegBits(regs.Window(1), MCR, Mcr::ClockPrescale);
    EXPECT_EQ(regs.Log(), (std::vector<fake::Access>{
                              R(MCR, 0x0B, 1), W(MCR, 0x03, 1),
                              R(MCR, 0x03, 1), W(MCR, 0x83, 1),
                          }));
}

TEST(RegisterAccess, BurstsWalkTheFifoWindowInOrder) {
    fake::ScriptedRegisters regs;
    const std::uint8_t out[3] = {0xA, 0xB, 0xC};
    FifoBurstWrite(regs.Window(0), out, 3);
    regs.Script(FifoWindow + 0, {0x11});
    regs.Script(FifoWindow + 1, {0x22});
    std::uint8_t in[2] = {};
    FifoBurstRead(regs.Window(0), in, 2);
    EXPECT_EQ(regs.Log(), (std::vector<fake::Access>{
                              W(FifoWindow + 0, 0xA), W(FifoWindow + 1, 0xB),
                              W(FifoWindow + 2, 0xC), R(FifoWindow + 0, 0x11),
                              R(FifoWindow + 1, 0x22),
                          }));
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 0x22);
}

using RegisterAccessDeathTest = ::testing::Test;

TEST(RegisterAccessDeathTest, AnAccessOutsideAMappingCrashes) {
    fake::ScriptedRegisters regs(2 * ChannelWindowSize);
    EXPECT_DEATH(ReadReg(regs.Window(2), LSR), "unmapped register address");
    EXPECT_DEATH(
        { [[maybe_unused]] volatile std::uint8_t byte = regs.Window(0)->bytes[0]; }, "");
}

}  // namespace
