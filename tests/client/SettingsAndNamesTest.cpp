// The library's values with no driver behind them: frame formats and device names.
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
