// The command line (option scan, narrowing of the wide arguments) and what the PCI identity says
// about a board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "startup/BoardModels.h"
#include "startup/OptionScan.h"
#include "startup/Options.h"
#include "startup/WideArguments.h"

namespace {

const char Usage[] =
    "Usage: \n-Q IRQ of the Quelta Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
    "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help";

struct ScanCase {
    std::vector<std::string> args;
    int irq, shared, base;
    const char* printed;  // also the outcome: nothing printed, the scan goes on
};

TEST(OptionScan, ValuesUsageAndRefusals) {
    // clang-format off
    const ScanCase cases[] = {
        {{}, 0, 0, 0, ""},
        {{"-Q5"}, 5, 0, 0, ""},
        {{"-Q", "5"}, 5, 0, 0, ""},
        {{"-Q", "300"}, 44, 0, 0, ""},               // low 8 bits
        {{"-P", "-1"}, 0, 0, 255, ""},
        {{"-P", "99999999999"}, 0, 0, 255, ""},      // clamped to 2147483647
        {{"-P", "-99999999999"}, 0, 0, 0, ""},       // clamped to -2147483648
        {{"-P", "  +12xyz"}, 0, 0, 12, ""},
        {{"-Q5S1"}, 5, 1, 0, ""},                    // the S inside the value is an option
        {{"-Q", "-S", "1"}, 0, 0, 0, ""},            // -S is -Q's value; 1 is passed over
        {{"-S", "257"}, 0, 1, 0, ""},
        {{"-q", "5", "/Q", "5", "-", "-xQ7"}, 7, 0, 0, ""},  // case, '-', lone '-', other letters
        {{"/Q5", "aS1"}, 0, 0, 0, ""},               // arguments without '-' are not scanned
        {{"-P4", "-Q"}, 0, 0, 4, ""},                // a letter ending the last argument
        {{"-Q1h", "-P", "7"}, 1, 0, 0, Usage},       // stored before -h, never examined after
        {{"-h", "-S", "5"}, 0, 0, 0, Usage},
        {{"-Q5", "-S", "2"}, 5, 2, 0, "IrqShare wrong value, should be 0 or 1\n"},
        {{"-S-1", "-h"}, 0, 255, 0, "IrqShare wrong value, should be 0 or 1\n"},
    };
    // clang-format on
    for (const ScanCase& c : cases) {
        irqLine = irqShared = portBase = 0;
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "quelta-driver");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        const ScanOutcome outcome =
            ScanOptions(static_cast<std::int32_t>(args.size()), argv.data());
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(printed, c.printed) << what;
        EXPECT_EQ(outcome, *c.printed == '\0' ? ScanOutcome::Continue : ScanOutcome::Stop) << what;
        EXPECT_EQ(irqLine, c.irq) << what;
        EXPECT_EQ(irqShared, c.shared) << what;
        EXPECT_EQ(portBase, c.base) << what;
    }
}

TEST(WideArguments, AreNarrowedUpToTheFirstZeroLowByte) {
    std::u16string name = u"quelta-driver";
    std::u16string help = {u'-', u'\x0168', u'\x0200', u'Q', 0};  // "-h", then a 0 low byte
    char16_t* argv[] = {name.data(), help.data()};
    testing::internal::CaptureStdout();
    EXPECT_EQ(WideEntry(2, argv), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), Usage);
    EXPECT_STREQ(reinterpret_cast<char*>(argv[1]), "-h");
}

TEST(BoardModels, ChannelsRegisterSpaceAndLineDrivers) {
    struct Case {
        std::uint16_t subsystem, deviceId;
        std::uint8_t channels;
        std::uint32_t mapLength;
        std::uint8_t firstLineDriver;  // 8: none
    };
    // clang-format off
    // The models on the largest register space, so that each shows its own channel count.
    const Case cases[] = {
        {0x300, 0x0258, 2, 4096, 8}, {0x301, 0x0158, 4, 4096, 8}, {0x302, 0x0258, 8, 4096, 8},
        {0x310, 0x0258, 2, 4096, 1}, {0x311, 0x0158, 4, 4096, 2}, {0x312, 0x0258, 8, 4096, 4},
        {0x320, 0x0258, 2, 4096, 0}, {0x321, 0x0158, 4, 4096, 0}, {0x322, 0x0158, 8, 4096, 0},
        {0x330, 0x0258, 2, 4096, 0}, {0x331, 0x0158, 4, 4096, 0}, {0x332, 0x0158, 8, 4096, 0},
        {0x353, 0x0258, 8, 4096, 0},
        {0x312, 0x0152, 2, 1024, 4},  // never more channels than the register space holds
        {0x777, 0x0154, 4, 2048, 8},  // a model the table does not know: the space's count
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(ChannelCountOf(c.subsystem, c.deviceId), c.channels) << std::hex << c.subsystem;
        EXPECT_EQ(MapLengthOf(c.deviceId), c.mapLength) << std::hex << c.deviceId;
        for (std::uint8_t n = 0; n < 8; ++n) {
            EXPECT_EQ(HasLineDriverControl(c.subsystem, n), n >= c.firstLineDriver ? 1 : 0)
                << std::hex << c.subsystem << " channel " << int{n};
        }
    }
}

}  // namespace
