// The library's values with no driver behind them: frame formats, settings texts, device names.
#include "client/DeviceName.h"
#include "tests/client/LiveServer.h"

namespace {

using namespace clienttest;

TEST(LineSettings, FrameFormats) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"8N1", "8N1"}, {"8n1", "8N1"}, {"7E2", "7E2"}, {"6o1", "6O1"}, {"5M1.5", "5M1.5"},
        {"8S1", "8S1"}, {"9N1", "0N1"}, {"4N1", "0N1"}, {"8X1", "0N1"}, {"8N3", "0N1"},
        {"8N", "0N1"},  {"8N11", "0N1"}, {"", "0N1"},  // refused: the settings stay as they were
    };
    // clang-format on
    for (const auto& [text, frame] : cases) {
        quelta::LineSettings settings{.dataBits = 0};
        EXPECT_EQ(quelta::ParseFrameFormat(text, settings), frame[0] != '0') << text;
        EXPECT_EQ(quelta::FormatFrame(settings), frame) << text;
    }
}

// The settings as status, config and list print them. The OUT1 variants of the flow control are
// automatic RTS or CTS as well.
TEST(LineSettings, TextsForPeople) {
    // clang-format off
    const std::tuple<quelta::LineSettings, const char*, const char*, const char*> cases[] = {
        {{}, "none", "9600 8N1", "9600 8N1"},
        {{.flowControl = FlowControl::AutoCts, .lineMode = 1}, "automatic CTS",
         "9600 8N1, automatic CTS", "9600 8N1 automatic CTS"},
        {{.flowControl = FlowControl::AutoRtsWithOut1}, "automatic RTS (bits 0x04)",
         "9600 8N1, automatic RTS (bits 0x04)", "9600 8N1 automatic RTS (bits 0x04)"},
        {{.flowControl = FlowControl::AutoRts | FlowControl::AutoCtsWithOut1}, "RTS/CTS (bits 0x09)",
         "9600 8N1, RTS/CTS (bits 0x09)", "9600 8N1 RTS/CTS (bits 0x09)"},
        {{.dataBits = 5, .stopBits = StopBits::OneAndAHalf, .softwareFlow = true, .xonChar = 1,
          .lineMode = LineMode::Rs485B}, "none", "9600 5N1.5, XON/XOFF (0x01/0x13), RS-485 mode 3",
         "9600 5N1.5 XON/XOFF RS-485 mode 3"},
    };
    // clang-format on
    for (const auto& [settings, flow, described, brief] : cases) {
        EXPECT_EQ(quelta::FlowControlName(settings.flowControl), flow);
        EXPECT_EQ(quelta::Describe(settings), described);
        EXPECT_EQ(quelta::DescribeBriefly(settings), brief);
    }
}

TEST(DeviceName, FullNameFromShortOrFullForm) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"Serial17", FullName(17)}, {FullName(3), FullName(3)}, {"", ""}, {DeviceNamePrefix, ""},
        {std::string(82, 'x'), DeviceNamePrefix + std::string(82, 'x')},
        {std::string(83, 'x'), ""},  // longer than the driver's name buffer takes
        {"\\RtDevice\\Other\\Serial0", ""}, {"../Serial0", ""},
        {FullName(0).insert(17, "Sub\\"), ""},
    };
    // clang-format on
    for (const auto& [given, full] : cases) {
        try {
            EXPECT_EQ(quelta::FullDeviceName(given), full);
        } catch (const quelta::Error& error) {
            EXPECT_TRUE(full.empty() && error.Code() == ErrorCode::InvalidArgument) << given;
        }
    }
}

TEST(DeviceName, ListShowsThisNamespacesDevicesInNaturalOrder) {
    const testsupport::TestChannel ten(FullName(10)), two(FullName(2)), zero(FullName(0));
    EXPECT_EQ(quelta::ListDevices(), (std::vector{FullName(0), FullName(2), FullName(10)}));
}

}  // namespace
