// Open, close and configuration against the register fake: the order of the accesses is the
// contract, and each operation makes all of them in one interrupt-disabled section.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "hw/BoardClock.h"
#include "hw/LineDriver.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/PortOps.h"
#include "tests/support/LineBuilder.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::Access;
using fake::R;
using fake::W;
using testsupport::Bytes;
using testsupport::Line;

namespace {

constexpr std::uint32_t BoardClock = 14'745'600;  // 9600 baud: divisor 96, 115200: 8

class PortOps : public ::testing::Test {
protected:
    void SetUp() override {
        boardClockHz = BoardClock;
        pinsReady = true;  // the pin set-up has its own tests
    }
    void TearDown() override {
        boardClockHz = 0;
        pinsReady = false;
    }

    // Rings with something in them, so that the resets show.
    void FillRings(PortRecord& port) {
        port.rxCount = 5;
        port.rxHead = 105;
        port.rxTail = 100;
        port.txCount = 7;
        port.txHead = 207;
        port.txTail = 200;
        port.lineErrors = 0x0A;
    }

    // After an operation: rings empty, lineErrors as it was, every access made in one section.
    void ExpectRingsEmptyAndOneSection(const PortRecord& port) {
        EXPECT_EQ(
            port.rxCount + port.rxHead + port.rxTail + port.txCount + port.txHead + port.txTail,
            0u);
        EXPECT_EQ(port.lineErrors, 0x0A) << "nothing clears lineErrors";
        ExpectOneSection();
    }
    void ExpectOneSection() {
        const std::vector<Access> log = regs.Log();
        EXPECT_TRUE(
            std::all_of(log.begin(), log.end(), [](const Access& a) { return a.disabled; }));
        EXPECT_FALSE(host::InterruptsDisabledOnThisThread()) << "and ended it";
    }

    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
};

TEST_F(PortOps, OpenResetsTheChannelTo9600EightNOne) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    FillRings(port);
    port.txActive = 1;
    port.config.lineMode = 3;
    regs.Set(FeatureCtl, 0xFF, 2);  // every flow bit on, and bits 0, 2, 5 that are never changed
    regs.Set(MCR, 0x8F, 2);
    regs.Set(LCR, 0xC3, 2);  // divisor access and break left on
    regs.Set(RHR, 0x55, 2);
    OpenPort(2);
    // clang-format off
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              R(FeatureCtl, 0xFF, 2), W(FeatureCtl, 0xEF, 2),  // enhanced off
                              W(FCR, 0x00, 2),                                 // FIFOs off
                              R(RHR, 0x55, 2),                                 // stale byte dropped
                              W(FCR, 0x07, 2),                                 // FIFOs on and reset
                              R(FeatureCtl, 0xEF, 2), W(FeatureCtl, 0xFF, 2),  // enhanced on
                              R(MCR, 0x8F, 2), W(MCR, 0x87, 2),                // OUT2 off
                              R(FeatureCtl, 0xFF, 2), R(MCR, 0x87, 2),         // auto CTS off,
                              W(FeatureCtl, 0x7F, 2),                          // MCR untouched
                              R(FeatureCtl, 0x7F, 2), R(MCR, 0x87, 2),         // auto RTS off
                              W(FeatureCtl, 0x3F, 2),
                              R(FeatureCtl, 0x3F, 2), W(FeatureCtl, 0x37, 2),  // XON/XOFF dir 0 off
                              R(FeatureCtl, 0x37, 2), W(FeatureCtl, 0x35, 2),  // XON/XOFF dir 1 off
                              W(FifoTrigCtl, 0xC0, 2),                         // trigger levels
                              W(TxLevel, 0x38, 2), W(RxLevel, 0x38, 2),
                              R(LCR, 0xC3, 2), W(LCR, 0x03, 2),                // break, DLAB off
                              R(MCR, 0x87, 2), W(MCR, 0x07, 2),                // prescaler off
                              R(LCR, 0x03, 2), W(LCR, 0x83, 2),                // divisor 96
                              W(DLL, 0x60, 2), W(DLM, 0x00, 2), W(LCR, 0x03, 2),
                              W(LCR, 0x03, 2),                                 // 8N1
                          }));
    // clang-format on
    ExpectRingsEmptyAndOneSection(port);
    EXPECT_EQ(port.txActive, 0u);
    EXPECT_EQ(port.config.xonChar, 0x11);
    EXPECT_EQ(port.config.xoffChar, 0x13);
    EXPECT_EQ(port.config.lineMode, 3) << "no line driver control: lineMode is left alone";

    // With the clock not yet read, the divisor is loaded as it comes: 0xFFFF.
    boardClockHz = 0;
    regs.ClearLog();
    OpenPort(2);
    const std::vector<Access> writes = regs.Writes();
    EXPECT_EQ(std::vector<Access>(writes.end() - 4, writes.end() - 2),
              (std::vector<Access>{W(DLL, 0xFF, 2), W(DLM, 0xFF, 2)}));

    // With line-driver control, open also puts the line driver back to its default mode.
    port.hasLineDriverControl = 1;
    regs.ClearLog();
    OpenPort(2);
    EXPECT_EQ(port.config.lineMode, LineMode::Default);
    EXPECT_GT(regs.Reads(PinLevel, 2), 0u) << "a pin transaction";
    EXPECT_EQ(regs.Latch(PinLevel, 2) >> Pin::FieldShift & Pin::EvenChannelField,
              Pin::DriverDefault);
}

// Close leaves nothing to send, so the transmitter is idle at once, running before or not: a
// break ends, RTS and DTR drop, the FIFOs are reset and the interrupts stay off.
TEST_F(PortOps, CloseQuietsTheLineWhetherTheTransmitterRanOrNot) {
    PortRecord& port = ports.Add(2, regs.Window(2));
    for (const std::uint32_t active : {0u, 1u}) {
        FillRings(port);
        port.txActive = active;
        regs.ClearLog();
        regs.Set(LCR, 0x43, 2);  // break on
        regs.Set(MCR, 0x0B, 2);
        regs.Set(FeatureCtl, 0x10, 2);
        regs.Set(RHR, 0x66, 2);
        EXPECT_EQ(ClosePort(2), 0u);
        // clang-format off
        EXPECT_EQ(regs.Log(), (std::vector<Access>{
                                  W(IER, 0x00, 2),                                 // interrupts off
                                  R(LCR, 0x43, 2), W(LCR, 0x03, 2),                // break ended
                                  W(IER, 0x00, 2), W(IER, 0x0F, 2),                // ClearBreak's kick
                                  R(MCR, 0x0B, 2), W(MCR, 0x09, 2),                // RTS off
                                  R(MCR, 0x09, 2), W(MCR, 0x08, 2),                // DTR off
                                  W(FCR, 0x00, 2),
                                  R(RHR, 0x66, 2),
                                  R(FeatureCtl, 0x10, 2), W(FeatureCtl, 0x00, 2),  // FIFO reset with
                                  W(FCR, 0x07, 2),                                 // enhanced off
                                  R(FeatureCtl, 0x00, 2), W(FeatureCtl, 0x10, 2),
                                  W(IER, 0x00, 2),                                 // undoes the kick
                                  R(MCR, 0x08, 2), W(MCR, 0x00, 2),                // OUT2 off
                              }))
            << "txActive " << active;
        // clang-format on
        EXPECT_EQ(port.txActive, 0u);
        EXPECT_EQ(port.mcrShadow, 0x08);
        ExpectRingsEmptyAndOneSection(port);
    }
}

// An accepted configuration on a port with line-driver control: 115200 baud 7E1, automatic CTS
// and RTS with OUT1 (0x0C), XON/XOFF with the request's own characters, RS-485 mode B.
TEST_F(PortOps, AcceptedConfigurationProgramsTheChannelInOrder) {
    PortRecord& port = ports.Add(3, regs.Window(3));
    port.hasLineDriverControl = 1;
    regs.Set(FeatureCtl, 0x10, 3);
    regs.Set(MCR, 0x80, 3);
    regs.Set(LCR, 0xC3, 3);
    regs.Set(FifoTrigCtl, 0xC0, 3);
    const LineConfig config = Line({.baudRate = 115'200,
                                    .parity = Parity::Even,
                                    .dataBits = 7,
                                    .reserved = 0x5A,
                                    .softwareFlow = 1,
                                    .xoffChar = 0x93,
                                    .xonChar = 0x91,
                                    .flowControl = 0x0C,
                                    .lineMode = 3});
    EXPECT_EQ(SetPortConfig(3, Bytes(config)), 0u);
    // clang-format off
    EXPECT_EQ(regs.Log(), (std::vector<Access>{
                              R(FeatureCtl, 0x10, 3), W(FeatureCtl, 0x00, 3),  // FIFO reset with
                              W(FCR, 0x07, 3),                                 // enhanced off
                              R(FeatureCtl, 0x00, 3), W(FeatureCtl, 0x10, 3),
                              R(MCR, 0x80, 3), W(MCR, 0x00, 3),                // prescaler off
                              R(LCR, 0xC3, 3), W(LCR, 0xC3, 3),                // divisor 8; LCR
                              W(DLL, 0x08, 3), W(DLM, 0x00, 3),                // ends as found
                              W(LCR, 0xC3, 3),
                              R(LCR, 0xC3, 3), W(LCR, 0x03, 3),                // break, DLAB off
                              W(LCR, 0x1A, 3),                                 // 7E1
                              R(FeatureCtl, 0x10, 3), R(MCR, 0x00, 3),         // auto CTS on
                              W(FeatureCtl, 0x90, 3), W(MCR, 0x02, 3),
                              R(FeatureCtl, 0x90, 3), R(MCR, 0x02, 3),         // auto RTS on
                              W(FeatureCtl, 0xD0, 3), W(MCR, 0x03, 3),
                              R(MCR, 0x03, 3), W(MCR, 0x07, 3),                // OUT1 and DTR
                              R(FeatureCtl, 0xD0, 3),                          // XON/XOFF dir 0
                              W(XonReg, 0x91, 3), W(XoffReg, 0x93, 3),
                              W(FeatureCtl, 0xD8, 3),
                              R(FeatureCtl, 0xD8, 3),                          // XON/XOFF dir 1
                              W(XonReg, 0x91, 3), W(XoffReg, 0x93, 3),
                              W(FeatureCtl, 0xDA, 3),
                              R(FifoTrigCtl, 0xC0, 3), W(FifoTrigCtl, 0xE0, 3),  // RS-485 B:
                              W(TurnaroundDelay, 0x20, 3),                       // auto direction
                              R(PinLevel, 0x00, 3), W(PinLevel, 0x08, 3),        // select pair 1
                              R(PinLevel, 0x08, 3), W(PinLevel, 0x0A, 3),
                              R(PinLevel, 0x0A, 3), W(PinLevel, 0x03, 3),        // read phase
                              R(PinLevel, 0x03, 3), W(PinLevel, 0x03, 3),
                              R(PinLevel, 0x03, 3),
                              R(PinLevel, 0x03, 3), W(PinLevel, 0x22, 3),        // odd field 1
                              R(PinLevel, 0x22, 3), W(PinLevel, 0x22, 3),
                              W(IER, 0x0F, 3),                                   // all sources on
                          }));
    // clang-format on
    EXPECT_EQ(port.lcrShadow, 0x1A);
    EXPECT_EQ(std::memcmp(&port.config, &config, sizeof config), 0) << "all 16 bytes copied";
    ExpectOneSection();
}

TEST_F(PortOps, WordFormats) {
    struct Case {
        std::uint8_t dataBits;
        char parity;
        std::uint8_t stopBits, lcr;
    };
    // clang-format off
    constexpr Case cases[] = {
        {8, 'n', 1, 0x03}, {7, 'e', 1, 0x1A}, {6, 'o', 2, 0x0D}, {8, 'm', 2, 0x2F},
        {8, 's', 1, 0x3B}, {5, 'n', 3, 0x04}, {5, 'o', 1, 0x08}, {7, 's', 2, 0x3E},
    };
    // clang-format on
    PortRecord& port = ports.Add(1, regs.Window(1));
    for (const Case& c : cases) {
        const LineConfig config =
            Line({.parity = c.parity, .stopBits = c.stopBits, .dataBits = c.dataBits});
        ASSERT_EQ(SetPortConfig(1, Bytes(config)), 0u) << int(c.dataBits) << c.parity;
        // The word format is the last LCR write, after the divisor load and LCR &= 0x3F.
        EXPECT_EQ(regs.Latch(LCR, 1), c.lcr) << int(c.dataBits) << c.parity << int(c.stopBits);
        EXPECT_EQ(port.lcrShadow, c.lcr);
    }
}

// Automatic RTS/CTS from flowControl (bits 4-7 ignored); without XON/XOFF its bits are
// cleared and the character registers left alone.
TEST_F(PortOps, FlowControlBits) {
    struct Case {
        std::uint8_t flowControl, mcrBefore, mcrAfter;
        std::uint8_t featureAuto;  // FeatureCtl bits 6-7 after
    };
    // clang-format off
    constexpr Case cases[] = {
        {0x01, 0x00, 0x01, 0x40}, {0x02, 0x00, 0x02, 0x80}, {0x04, 0x00, 0x05, 0x40},
        {0x08, 0x00, 0x07, 0x80}, {0x0C, 0x00, 0x07, 0xC0}, {0x03, 0x04, 0x03, 0xC0},
        {0x00, 0x03, 0x03, 0x00}, {0xF0, 0x06, 0x06, 0x00},
    };
    // clang-format on
    ports.Add(1, regs.Window(1));
    for (const Case& c : cases) {
        regs.ClearLog();
        regs.Set(MCR, c.mcrBefore, 1);
        regs.Set(FeatureCtl, 0xDA, 1);  // both automatic controls and XON/XOFF on from before
        const LineConfig config = Line({.baudRate = 9'600, .flowControl = c.flowControl});
        ASSERT_EQ(SetPortConfig(1, Bytes(config)), 0u);
        EXPECT_EQ(regs.Latch(MCR, 1), c.mcrAfter) << "flowControl " << int(c.flowControl);
        EXPECT_EQ(regs.Latch(FeatureCtl, 1), 0x10 | c.featureAuto) << int(c.flowControl);
        for (const Access& access : regs.Writes()) {
            EXPECT_NE(access.offset % ChannelWindowSize, XonReg);
            EXPECT_NE(access.offset % ChannelWindowSize, XoffReg);
        }
    }
}

// Every refusal comes before the first register access: the FIFOs keep their bytes, the rate
// and word format stay, and the port goes on working as before.
TEST_F(PortOps, RefusedConfigurationTouchesNoRegister) {
    struct Case {
        std::uint32_t clock;
        LineConfig config;
        const char* why;
    };
    // clang-format off
    const Case cases[] = {
        {BoardClock, Line({.baudRate = 0}), "baud 0 (every rate the divisor refuses)"},
        {20'000'000, Line({.baudRate = 30}), "divisor 41,667 has bit 15"},
        {BoardClock, Line({.dataBits = 4}), "4 data bits"},
        {BoardClock, Line({.dataBits = 9}), "9 data bits"},
        {BoardClock, Line({.parity = 'N'}), "upper-case parity"},
        {BoardClock, Line({.parity = 'x'}), "unknown parity, valid baud"},
        {BoardClock, Line({.stopBits = 0}), "stop code 0"},
        {BoardClock, Line({.stopBits = 4}), "stop code 4"},
        {BoardClock, Line({.stopBits = 2, .dataBits = 5}), "two stop bits with 5 data bits"},
        {BoardClock, Line({.stopBits = 3, .dataBits = 6}), "one and a half with 6 data bits"},
        {BoardClock, Line({.stopBits = 3}), "one and a half with 8 data bits"},
    };
    // clang-format on
    PortRecord& port = ports.Add(4, regs.Window(4));
    for (const Case& c : cases) {
        regs.ClearLog();
        boardClockHz = c.clock;
        LineConfig config = c.config;
        config.softwareFlow = 1;
        config.flowControl = 0x0F;
        EXPECT_EQ(SetPortConfig(4, Bytes(config)), RtError::InvalidParameter) << c.why;
        EXPECT_TRUE(regs.Log().empty()) << c.why;
        EXPECT_EQ(std::memcmp(&port.config, &config, sizeof config), 0)
            << c.why << ": the request is still kept in config";
        EXPECT_FALSE(host::InterruptsDisabledOnThisThread()) << c.why;
    }
}

}  // namespace
