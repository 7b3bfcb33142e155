// The line-driver pin decoder: select, read and write phases with their strobes on PinLevel,
// each channel's 2-bit driver mode kept, the interrupt-time pulse of 0x353 boards ignored.
#include <vector>

#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

using namespace sim::reg;

class Pins : public BoardTest {
protected:
    // The pin protocol as the driver runs it, through the window of `channel`.
    std::uint8_t Level(std::uint32_t channel) { return Read(channel, PinLevel); }
    void SetLevel(std::uint32_t channel, std::uint8_t value) { Write(channel, PinLevel, value); }
    void Strobe(std::uint32_t channel) {
        SetLevel(channel, static_cast<std::uint8_t>(Level(channel) | pin::Strobe));
    }
    void Setup(std::uint32_t channel) {
        Write(channel, PinCtl91, 0x00);
        Write(channel, PinCtl8F, 0x00);
        Write(channel, PinCtl92, 0x00);
        Write(channel, PinCtl93, 0xFF);
        SetLevel(channel, 0x07);
    }
    void SetMode(std::uint32_t channel, std::uint8_t mode) {
        SetLevel(channel, static_cast<std::uint8_t>((Level(channel) & 0x07) | ((channel / 2) << 3)));
        Strobe(channel);
        SetLevel(channel, static_cast<std::uint8_t>((Level(channel) & 0x83) | pin::ReadPhase));
        Strobe(channel);
        const std::uint8_t field = Level(channel) >> 3;
        const std::uint8_t value = channel % 2 != 0
                                       ? static_cast<std::uint8_t>((field & 0x03) | (mode << 2))
                                       : static_cast<std::uint8_t>((field & 0x0C) | mode);
        lastField_ = field;
        SetLevel(channel, static_cast<std::uint8_t>((Level(channel) & 0x82) | (value << 3)));
        Strobe(channel);
    }

    std::uint8_t lastField_ = 0;
};

TEST_F(Pins, SelectReadWriteSetsEachChannelsModeAndKeepsItsPartners) {
    Setup(5);
    SetMode(5, 2);
    SetMode(4, 1);
    EXPECT_EQ(lastField_ & 0x0F, 0b1000);  // channel 5's field as the read phase showed it
    SetMode(6, 3);
    SetMode(4, 1);
    EXPECT_EQ(lastField_ & 0x0F, 0b1001);
    const std::vector<std::uint8_t> modes = {Board().DriverMode(0), Board().DriverMode(4),
                                             Board().DriverMode(5), Board().DriverMode(6),
                                             Board().DriverMode(7)};
    EXPECT_EQ(modes, (std::vector<std::uint8_t>{0, 1, 2, 3, 0}));
    EXPECT_EQ(Board().Peek(5).driverMode, 2);
    EXPECT_EQ(Board().PinProtocolErrors(), 0u);
}

TEST_F(Pins, SetupValuesAreRecordedAndTheStrobeReadsBackLow) {
    Setup(3);
    bool written = false;
    EXPECT_EQ(Board().PinControl(PinCtl93, &written), 0xFF);
    EXPECT_TRUE(written);
    EXPECT_EQ(Board().PinControl(PinCtl8F, &written), 0x00);
    EXPECT_TRUE(written);
    EXPECT_EQ(Level(0), 0x05);  // the same pins through any window; the strobe pulse is over
    EXPECT_EQ(Board().PinLevelWrites(), (std::vector<std::uint8_t>{0x07}));
}

TEST_F(Pins, InterruptTimePulseIsRecordedAndLeavesTheProtocolAlone) {
    Setup(0);
    SetMode(1, 1);
    Board().ClearPinLevelWrites();
    SetLevel(0, 0xFF);
    SetLevel(0, 0xFE);
    EXPECT_EQ(Board().PinLevelWrites(), (std::vector<std::uint8_t>{0xFF, 0xFE}));
    SetMode(0, 3);
    EXPECT_EQ(Board().DriverMode(0), 3);
    EXPECT_EQ(Board().DriverMode(1), 1);
    EXPECT_EQ(Board().PinProtocolErrors(), 0u);
}

TEST_F(Pins, AWritePhaseWithoutReadPhaseIsAProtocolErrorAndChangesNothing) {
    Setup(0);
    SetLevel(0, 0x00 | (1 << 3));  // select pair 1
    Strobe(0);
    SetLevel(0, static_cast<std::uint8_t>(0x0F << 3));  // straight to a write phase
    Strobe(0);
    EXPECT_EQ(Board().PinProtocolErrors(), 1u);
    EXPECT_EQ(Board().DriverMode(2), 0);
    EXPECT_EQ(Board().DriverMode(3), 0);
}

}  // namespace
}  // namespace simtest
