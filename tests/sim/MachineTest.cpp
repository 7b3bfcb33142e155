// The machine around the boards: the description's one-line errors, and the host backend's
// operations on the machine (configuration reads, BAR0 translation and mapping with their
// failures, the access trace, interrupt attachment and manual delivery, and the end of a program
// that leaves an interrupt section open).
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostPlatform.h"
#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

TEST(Description, EachMistakeGivesItsLineAndOneLineSayingWhatIsWrong) {
    const std::string board =
        "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=1";
    const std::string other = "function bus=0 device=3 function=0 vendor=1 device-id=2\n";
    // clang-format off
    const std::pair<std::string, std::string_view> rows[] = {
        {"\n\nbord bus=0\n", "m:3: unknown statement 'bord'"},
        {"board bus=0 device=3 function=0\n", "m:1: board: device-id= is missing"},
        {"board bus=0 device=32\n", "m:1: board device: 32 is out of range (0 to 31)"},
        {"board bus=1x\n", "m:1: board bus: '1x' is not a number"},
        {"board bus=0 device=3 function=0 device-id=1 subsystem=2 irq=5\n",
         "m:1: board: give either clock= or eeprom="},
        {board + " irq=6\n", "m:1: board: irq= given twice"},
        {board + " speed=9\n", "m:1: board: unknown key 'speed'"},
        {other + "channel 0 loopback\n", "m:2: channel: no board line above it"},
        {board + "\n# 8 channels\nchannel 8 open\n", "m:3: channel: 8 is out of range (0 to 7)"},
        {board + "\nchannel 0 null-modem 1\nchannel 1 loopback\n",
         "m:3: channel 1 is already wired on line 2"},
        {board + "\nchannel 4 null-modem 4\n",
         "m:2: channel: a channel cannot be its own null-modem peer (use loopback)"},
        {board + "\nchannel 4 serial\n",
         "m:2: channel: unknown line 'serial' (null-modem, pty, loopback or open)"},
        {other + board, "m:2: board: bus 0 device 3 function 0 is already taken on line 1"},
        {"pace -1\n", "m:1: pace: '-1' is not a factor of 0 or more"},
        {"buses 2\nbuses 3\n", "m:2: buses: already given on line 1"},
        {"buses 0,1,1\n", "m:1: buses: bus 1 listed twice"},
        {board + " bar0=0xE0000000\nboard bus=0 device=4 function=0 device-id=0x0158 "
                 "subsystem=0x312 irq=5 clock=1 bar0=0xE0000000\n",
         "m:2: board bar0: overlaps the board of line 1"},
        {board + " bar0=0xE0000100\n",
         "m:1: board bar0: must be aligned to the region length 4096"},
    };
    // clang-format on
    for (const auto& [text, error] : rows) {
        EXPECT_EQ(sim::LoadMachine(text, "m", {}).error, error) << text;  // and no machine
    }
    // A trace path that is a link is not followed: what it points at stays as it was.
    const std::string target = ::testing::TempDir() + "quelta-kept-" + std::to_string(getpid());
    const std::string link = target + ".link";
    std::ofstream(target) << "kept";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    sim::MachineOptions traced;
    traced.tracePath = link;
    EXPECT_NE(sim::LoadMachine(board + "\n", "m", traced).error.find("cannot write the trace"),
              std::string::npos);
    std::stringstream kept;
    kept << std::ifstream(target).rdbuf();
    EXPECT_EQ(kept.str(), "kept");
    std::remove(link.c_str());
    std::remove(target.c_str());
}

std::uint32_t routineRuns = 0;
std::uint32_t prechecks = 0;
volatile std::uint8_t* firstBoard = nullptr;

// Under the CPU lock, as on the target; reading channel 0's IIR serves its transmit-empty.
RtBoolean RTFCNDCL ServeChannelZero(void*) {
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread());
    ++routineRuns;
    RtLoadRegister8(firstBoard + Iir);
    return 1;
}

std::int32_t RTFCNDCL Claim(void*) { return ++prechecks, RtValue::PrecheckRunService; }
std::int32_t RTFCNDCL Decline(void*) { return ++prechecks, RtValue::PrecheckNotOurs; }

// Serves the interrupt but leaves a section open, as an early return between a disable and its
// restore would.
void RTFCNDCL LeakySection(void*) { (void)DisableInterrupts(); }

// A host bridge, and a 4-channel board decoding 2048 bytes from 0xE0000000.
class Backend : public ::testing::Test {
protected:
    void SetUp() override {
        sim::MachineOptions options;
        options.manualTime = true;
        options.tracePath = tracePath_;  // a file per test: ctest runs them side by side
        sim::LoadedMachine loaded = sim::LoadMachine(
            "buses 0,1,3\n"
            "function bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237\n"
            "board bus=1 device=4 function=2 device-id=0x0154 subsystem=0x321 irq=11 "
            "clock=1843200 bar0=0xE0000000\n",
            "test", options);
        ASSERT_TRUE(loaded.machine) << loaded.error;
        host::InstallMachine(std::move(loaded.machine), host::InterruptDelivery::Manual);
        firstBoard =
            static_cast<volatile std::uint8_t*>(RtMapMemory(0xE0000000, 2048, RtValue::NotCached));
        routineRuns = prechecks = 0;
    }
    void TearDown() override {
        host::RemoveMachine();
        host::ClearFaults();
        std::remove(tracePath_.c_str());
    }
    // ServeChannelZero, with a pre-check that claims the interrupt or not.
    static RtHandle Attach(std::uint32_t bus, std::uint32_t irq, bool mine, bool shared = true,
                           std::uint32_t mode = RtValue::LevelSensitive) {
        const RtInterruptPrecheck precheck = mine ? Claim : Decline;
        return RtAttachInterruptVectorEx(nullptr, 0, ServeChannelZero, nullptr, 127,
                                         RtValue::PciBus, bus, irq, irq, shared, mode, precheck);
    }

    const std::string tracePath_ = ::testing::TempDir() + "quelta-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

// A missing bus answers nothing, an empty slot the all-ones Vendor ID.
TEST_F(Backend, ConfigurationReadsAnswerOnlyWhereAFunctionSits) {
    const std::uint32_t slots[][4] = {// bus, device | function << 5, length, Vendor ID
                                      {2, 0, 0, 0},       {4, 0, 0, 0},
                                      {0, 1, 2, 0xFFFF},  {1, 4, 2, 0xFFFF},
                                      {0, 0, 64, 0x8086}, {1, 4 | 2 << 5, 64, 0x13A8}};
    for (const auto& [bus, slot, length, vendor] : slots) {
        std::uint16_t h[32] = {};
        EXPECT_EQ(RtGetBusDataByOffset(RtValue::PciConfiguration, bus, slot, h, 0, 64), length);
        EXPECT_EQ(h[0], vendor) << bus << "/" << slot;
    }
    std::uint32_t bar0 = 0;
    ASSERT_EQ(RtGetBusDataByOffset(RtValue::PciConfiguration, 1, 4 | 2 << 5, &bar0, 0x10, 4), 4u);
    EXPECT_EQ(bar0, 0xE0000000u);
}

// The trace line: sequence, board.window, direction, offset in the window, value.
TEST_F(Backend, Bar0TranslatesAndMapsTheBoardsRegistersAndTheTraceShowsEveryAccess) {
    std::uint32_t space = RtValue::MemorySpace;
    RtLargeInteger translated = 0;
    ASSERT_TRUE(RtTranslateBusAddress(RtValue::PciBus, 1, 0xE0000400, &space, &translated));
    auto* third = static_cast<volatile std::uint8_t*>(
        RtMapMemory(translated, 2 * WindowSize, RtValue::NotCached));
    RtStoreRegister8(third + Scratch, 0xA5);
    RtStoreRegister8(firstBoard + WindowSize + Scratch, 0x5A);
    EXPECT_EQ(RtLoadRegister8(firstBoard + WindowSize + Scratch), 0x5A);
    std::ostringstream trace;
    trace << std::ifstream(tracePath_).rdbuf();
    EXPECT_EQ(trace.str(), "1 0.2 W 0x007 0xA5\n2 0.1 W 0x007 0x5A\n3 0.1 R 0x007 0x5A\n");
    EXPECT_FALSE(RtTranslateBusAddress(RtValue::PciBus, 1, 0xD0000000, &space, &translated));
    host::FailNthCall(host::Fault::Translation, 1);
    EXPECT_FALSE(RtTranslateBusAddress(RtValue::PciBus, 1, 0xE0000000, &space, &translated));
    space = 1;  // I/O
    EXPECT_FALSE(RtTranslateBusAddress(RtValue::PciBus, 1, 0xE0000000, &space, &translated));
    EXPECT_EQ(RtMapMemory(0xE0000000, 4096, RtValue::NotCached), nullptr);  // past the region
    EXPECT_EQ(RtMapMemory(0xE0000000, 1024, 1), nullptr);                   // cached
    host::FailNthCall(host::Fault::Mapping, 1);
    EXPECT_EQ(RtMapMemory(0xE0000000, 1024, RtValue::NotCached), nullptr);
}

// Each pass asks every pre-check and runs the routines that claim it; a pass that changes
// nothing ends the delivery, so a line held by a board nobody serves does not spin.
TEST_F(Backend, InterruptsAttachWhereSomethingIsOnTheLineAndManualDeliveryRunsTheirRoutines) {
    EXPECT_EQ(Attach(1, 5, true), nullptr);
    EXPECT_EQ(GetLastError(), RtError::PathNotFound);
    EXPECT_EQ(Attach(0, 11, true), nullptr);           // irq 11 is on bus 1
    EXPECT_EQ(Attach(1, 11, true, true, 1), nullptr);  // edge-triggered
    host::FailNthCall(host::Fault::InterruptAttach, 1);
    EXPECT_EQ(Attach(1, 11, false), nullptr);
    ASSERT_NE(Attach(1, 11, false), nullptr);
    EXPECT_EQ(Attach(1, 11, true, false), nullptr);  // alone, where one is shared already
    EXPECT_EQ(host::DeliverInterrupts(), 0u);        // nothing asserted
    RtStoreRegister8(firstBoard + Ier, ier::TxEmpty);
    EXPECT_EQ(host::DeliverInterrupts(), 1u);
    EXPECT_EQ(prechecks, 1u);
    EXPECT_EQ(routineRuns, 0u);
    ASSERT_NE(Attach(1, 11, true), nullptr);
    EXPECT_EQ(host::DeliverInterrupts(), 1u);
    EXPECT_EQ(prechecks, 3u);
    EXPECT_EQ(routineRuns, 1u);
    EXPECT_FALSE(host::CurrentMachine().GetBoard(0).LineAsserted());
}

// Where the target's processor would stay with interrupts off, the host ends the program with a
// message instead: a thread that sleeps or waits, and an interrupt routine that returns (as an
// early return between a disable and its restore would), with a section of its own still open.
TEST_F(Backend, AnInterruptSectionLeftOpenEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            (void)DisableInterrupts();
            Sleep(1);
        },
        "interrupt sections unbalanced: a thread slept with 1 interrupt section");
    EXPECT_DEATH(
        {
            const InterruptState outer = DisableInterrupts();
            (void)DisableInterrupts();
            RestoreInterrupts(outer);
            RtWaitForSingleObject(nullptr, 0);
        },
        "a thread waited with 1 interrupt section");
    EXPECT_DEATH(
        {
            RtAttachInterruptVector(nullptr, 0, LeakySection, nullptr, 127, RtValue::PciBus, 1, 11,
                                    11);
            RtStoreRegister8(firstBoard + Ier, ier::TxEmpty);
            host::DeliverInterrupts();
        },
        "an interrupt service routine returned with 1 interrupt section");
}

}  // namespace
}  // namespace simtest
