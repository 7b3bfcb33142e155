#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/CommandLine.h"
#include "platform/Rtss.h"
#include "startup/Options.h"

namespace {

struct Scan {
    ScanOutcome outcome;
    std::string printed;
};

Scan RunScan(std::vector<std::string> args) {
    irqLine = irqShared = portBase = 0;
    args.insert(args.begin(), "quelta-driver");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const ScanOutcome outcome = ScanOptions(static_cast<std::int32_t>(args.size()), argv.data());
    return {outcome, testing::internal::GetCapturedStdout()};
}

struct ScanCase {
    std::vector<std::string> args;
    int irq, shared, base;
};

TEST(CommandLine, OptionValues) {
    const std::vector<ScanCase> cases = {
        {{}, 0, 0, 0},
        {{"-Q5"}, 5, 0, 0},
        {{"-Q", "5"}, 5, 0, 0},
        {{"-Q", "300"}, 44, 0, 0},             // low 8 bits
        {{"-Q", "256"}, 0, 0, 0},
        {{"-P", "-1"}, 0, 0, 255},
        {{"-P", "99999999999"}, 0, 0, 255},    // clamped to 2147483647, low byte 0xFF
        {{"-P", "-99999999999"}, 0, 0, 0},     // clamped to -2147483648, low byte 0
        {{"-P", "  +12xyz"}, 0, 0, 12},        // white space, sign, digits up to the first other
        {{"-Q5S1"}, 5, 1, 0},                  // the S inside the value is an option
        {{"-Q", "-S", "1"}, 0, 0, 0},          // -S is consumed as -Q's value; 1 is passed over
        {{"-S", "256"}, 0, 0, 0},
        {{"-S", "257"}, 0, 1, 0},
        {{"-q", "5", "/Q", "5", "-"}, 0, 0, 0},  // case-sensitive, needs '-', lone '-'
        {{"-xQ7", "-P", "3"}, 7, 0, 3},        // unknown letters are passed over
        {{"-P4", "-Q"}, 0, 0, 4},              // a letter ending the last argument is ignored
        {{"-Q", "9", "-Q"}, 9, 0, 0},
    };
    for (const ScanCase& c : cases) {
        const Scan scan = RunScan(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(scan.outcome, ScanOutcome::Continue) << joined;
        EXPECT_EQ(scan.printed, "") << joined;
        EXPECT_EQ(irqLine, c.irq) << joined;
        EXPECT_EQ(irqShared, c.shared) << joined;
        EXPECT_EQ(portBase, c.base) << joined;
    }
}

TEST(CommandLine, HelpPrintsTheUsageAndStopsTheScan) {
    const std::string usage =
        "Usage: \n-Q IRQ of the Quelta Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for FALSE\n"
        "-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help";
    Scan scan = RunScan({"-Q1h", "-P", "7"});
    EXPECT_EQ(scan.outcome, ScanOutcome::Stop);
    EXPECT_EQ(scan.printed, usage);
    EXPECT_EQ(irqLine, 1) << "options before -h are stored";
    EXPECT_EQ(portBase, 0) << "options after -h are never examined";

    scan = RunScan({"-h", "-S", "5"});
    EXPECT_EQ(scan.printed, usage) << "a bad -S after -h gives no message";
}

TEST(CommandLine, SharedValueAboveOneIsRejected) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-S", "2"}, {"-S", "-1"}, {"-S2"}, {"-Q5", "-S", "3", "-h"}}) {
        const Scan scan = RunScan(args);
        EXPECT_EQ(scan.outcome, ScanOutcome::Stop);
        EXPECT_EQ(scan.printed, "IrqShare wrong value, should be 0 or 1\n");
    }
}

TEST(CommandLine, NarrowingKeepsLowBytesUpToTheFirstZeroLowByte) {
    std::u16string first = u"-Q5";
    std::u16string second = {u'\x4150', u'\x0133', u'\x0200', u'X', 0};  // "P3" then a 0 low byte
    std::u16string third = u"";
    char16_t* argv[] = {first.data(), second.data(), third.data()};
    NarrowArguments(3, argv);
    EXPECT_STREQ(reinterpret_cast<char*>(argv[0]), "-Q5");
    EXPECT_STREQ(reinterpret_cast<char*>(argv[1]), "P3");
    EXPECT_STREQ(reinterpret_cast<char*>(argv[2]), "");
}

TEST(CommandLine, WideEntryStopsWithZeroAfterHelp) {
    std::u16string name = u"quelta-driver";
    std::u16string help = u"-h";
    char16_t* argv[] = {name.data(), help.data()};
    testing::internal::CaptureStdout();
    EXPECT_EQ(WideEntry(2, argv), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Usage: \n", 0), 0u);
}

using CommandLineDeathTest = ::testing::Test;

TEST(CommandLineDeathTest, FatalErrorPrintsTheCodeAndExitsWithOne) {
    EXPECT_EXIT(
        {
            SetLastError(0x2A);
            FatalError(u"Failed to open serial port\n");
        },
        ::testing::ExitedWithCode(1), "");
}

}  // namespace
