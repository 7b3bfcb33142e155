#include "client/DeviceName.h"

#include <gtest/gtest.h>

#include "client/Error.h"
#include "tests/client/FakeDriver.h"

namespace {

struct NameCase {
    const char* given;
    const char* full;  // nullptr: refused
};

TEST(DeviceName, FullNameFromShortOrFullForm) {
    const NameCase cases[] = {
        {"Serial0", "\\RtDevice\\Quelta\\Serial0"},
        {"Serial17", "\\RtDevice\\Quelta\\Serial17"},
        {"\\RtDevice\\Quelta\\Serial3", "\\RtDevice\\Quelta\\Serial3"},
        {"", nullptr},
        {"\\RtDevice\\Quelta\\", nullptr},
        {"\\RtDevice\\Other\\Serial0", nullptr},
        {"\\RtDevice\\Quelta\\Sub\\Serial0", nullptr},
        {"../Serial0", nullptr},
        {"Serial/0", nullptr},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.given);
        if (c.full != nullptr) {
            EXPECT_EQ(quelta::FullDeviceName(c.given), c.full);
        } else {
            try {
                quelta::FullDeviceName(c.given);
                ADD_FAILURE() << "accepted";
            } catch (const quelta::Error& error) {
                EXPECT_EQ(error.Code(), quelta::ErrorCode::InvalidArgument);
            }
        }
    }
}

TEST(DeviceName, NameTooLongForTheDriverIsRefused) {
    EXPECT_THROW(quelta::FullDeviceName(std::string(90, 'x')), quelta::Error);
    EXPECT_NO_THROW(quelta::FullDeviceName(std::string(80, 'x')));
}

TEST(DeviceName, ShortNameDropsThePrefix) {
    EXPECT_EQ(quelta::ShortDeviceName("\\RtDevice\\Quelta\\Serial4"), "Serial4");
    EXPECT_EQ(quelta::ShortDeviceName("Serial4"), "Serial4");
}

TEST(DeviceName, ListShowsThisNamespacesDevicesInNaturalOrder) {
    EXPECT_TRUE(quelta::ListDevices().empty());
    fake::FakeDriver driver({{"Serial10", 0, false}, {"Serial2", 1, false}, {"Serial0", 0, false}}, 2);
    const std::vector<std::string> expected = {"\\RtDevice\\Quelta\\Serial0",
                                               "\\RtDevice\\Quelta\\Serial2",
                                               "\\RtDevice\\Quelta\\Serial10"};
    EXPECT_EQ(quelta::ListDevices(), expected);
}

}  // namespace
