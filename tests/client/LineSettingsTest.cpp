#include "client/LineSettings.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using quelta::LineSettings;
using quelta::Parity;
using quelta::StopBits;

std::array<std::uint8_t, 16> WireBytes(const LineSettings& settings) {
    const LineConfig wire = settings.ToWire();
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &wire, bytes.size());
    return bytes;
}

TEST(LineSettings, WireRecordHasTheDriversByteLayout) {
    LineSettings settings;
    settings.baudRate = 115200;  // 0x0001C200
    settings.dataBits = 7;
    settings.parity = Parity::Even;
    settings.stopBits = StopBits::Two;
    settings.softwareFlow = true;
    settings.xonChar = 0x21;
    settings.xoffChar = 0x23;
    settings.flowControl = quelta::HardwareFlow::RtsCts;
    settings.lineMode = quelta::LineMode::Rs485Mode3;
    const std::array<std::uint8_t, 16> expected = {
        0x00, 0xC2, 0x01, 0x00,  // baud rate, little-endian
        'e',  2,    7,    0,     // parity, stop-bit code, data bits, reserved
        0x01, 0x00, 0x00, 0x00,  // software flow on
        0x23, 0x21,              // XOFF then XON
        0x03,                    // automatic RTS and CTS
        0x03,                    // line mode
    };
    EXPECT_EQ(WireBytes(settings), expected);
}

TEST(LineSettings, WireRoundTripKeepsEveryField) {
    LineSettings settings;
    settings.baudRate = 300;
    settings.dataBits = 5;
    settings.parity = Parity::Space;
    settings.stopBits = StopBits::OneAndHalf;
    settings.flowControl = quelta::HardwareFlow::AutoCtsWithDtr;
    settings.lineMode = quelta::LineMode::Rs485Mode2;
    EXPECT_EQ(LineSettings::FromWire(settings.ToWire()), settings);
}

TEST(LineSettings, RefusalsTheDriverWouldMake) {
    struct Case {
        std::int32_t baud;
        std::uint8_t dataBits;
        char parity;
        std::uint8_t stopCode;
        bool refused;
    };
    const Case cases[] = {
        {9600, 8, 'n', 1, false}, {9600, 7, 'e', 1, false}, {9600, 6, 'o', 2, false},
        {9600, 5, 'n', 3, false}, {9600, 8, 'm', 2, false}, {9600, 8, 's', 1, false},
        {0, 8, 'n', 1, true},     {-5, 8, 'n', 1, true},    {9600, 4, 'n', 1, true},
        {9600, 9, 'n', 1, true},  {9600, 8, 'N', 1, true},  {9600, 8, 'x', 1, true},
        {9600, 5, 'n', 2, true},  {9600, 8, 'n', 3, true},  {9600, 8, 'n', 0, true},
        {9600, 8, 'n', 4, true},
    };
    for (const Case& c : cases) {
        LineSettings settings;
        settings.baudRate = c.baud;
        settings.dataBits = c.dataBits;
        settings.parity = static_cast<Parity>(c.parity);
        settings.stopBits = static_cast<StopBits>(c.stopCode);
        SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.dataBits) + c.parity +
                     std::to_string(c.stopCode));
        EXPECT_EQ(quelta::ExplainRefusal(settings).has_value(), c.refused);
    }
}

TEST(LineSettings, FrameFormats) {
    struct Case {
        const char* text;
        bool valid;
        std::uint8_t dataBits;
        Parity parity;
        StopBits stopBits;
    };
    const Case cases[] = {
        {"8N1", true, 8, Parity::None, StopBits::One},
        {"8n1", true, 8, Parity::None, StopBits::One},
        {"7E2", true, 7, Parity::Even, StopBits::Two},
        {"6O1", true, 6, Parity::Odd, StopBits::One},
        {"5M1.5", true, 5, Parity::Mark, StopBits::OneAndHalf},
        {"8S1", true, 8, Parity::Space, StopBits::One},
        {"9N1", false, 0, Parity::None, StopBits::One},
        {"4N1", false, 0, Parity::None, StopBits::One},
        {"8X1", false, 0, Parity::None, StopBits::One},
        {"8N3", false, 0, Parity::None, StopBits::One},
        {"8N", false, 0, Parity::None, StopBits::One},
        {"8N11", false, 0, Parity::None, StopBits::One},
        {"", false, 0, Parity::None, StopBits::One},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LineSettings settings;
        settings.dataBits = 0;
        ASSERT_EQ(quelta::ParseFrameFormat(c.text, settings), c.valid);
        if (c.valid) {
            EXPECT_EQ(settings.dataBits, c.dataBits);
            EXPECT_EQ(settings.parity, c.parity);
            EXPECT_EQ(settings.stopBits, c.stopBits);
            EXPECT_EQ(quelta::ParseFrameFormat(quelta::FormatFrame(settings), settings), true);
        } else {
            EXPECT_EQ(settings.dataBits, 0) << "a refused text changed the settings";
        }
    }
}

TEST(LineSettings, DescribeNamesFlowControlAndLineMode) {
    LineSettings settings;
    settings.baudRate = 115200;
    settings.flowControl = quelta::HardwareFlow::RtsCts;
    settings.softwareFlow = true;
    settings.lineMode = quelta::LineMode::Rs485Mode2;
    EXPECT_EQ(quelta::Describe(settings), "115200 8N1, RTS/CTS, XON/XOFF (0x11/0x13), RS-485 mode 2");
    EXPECT_EQ(quelta::Describe(LineSettings{}), "9600 8N1");
}

}  // namespace
