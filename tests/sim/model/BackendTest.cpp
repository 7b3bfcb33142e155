// The host backend's operations on the simulated machine: configuration reads on missing buses
// and empty slots, the board's header, BAR0 translation and mapping with their failures,
// interrupt attachment and manual delivery, and the access trace.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostPlatform.h"
#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

constexpr std::string_view TwoBoards =
    "buses 0,1,3\n"
    "function bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237\n"
    "board bus=1 device=4 function=2 device-id=0x0154 subsystem=0x321 irq=11 clock=1843200 "
    "bar0=0xE0000000\n"
    "board bus=3 device=0 function=0 device-id=0x0158 subsystem=0x312 irq=11 clock=14745600\n"
    "function bus=3 device=0 function=1 vendor=0x1234 device-id=0x5678 irq=9\n";

class Backend : public ::testing::Test {
protected:
    void SetUp() override { Install(TwoBoards); }
    void TearDown() override {
        host::RemoveMachine();
        host::ClearFaults();
    }
    void Install(std::string_view description, sim::MachineOptions options = {}) {
        options.manualTime = true;
        sim::LoadedMachine loaded = sim::LoadMachine(description, "test", options);
        ASSERT_TRUE(loaded.machine) << loaded.error;
        host::InstallMachine(std::move(loaded.machine), host::InterruptDelivery::Manual);
    }
    static std::uint32_t ConfigRead(std::uint32_t bus, std::uint32_t device, std::uint32_t function,
                                    std::uint8_t* buffer, std::uint32_t offset, std::uint32_t length) {
        return RtGetBusDataByOffset(RtValue::PciConfiguration, bus, device | function << 5, buffer,
                                    offset, length);
    }
    void* MapFirstBoard(std::uint32_t length) {
        std::uint32_t space = RtValue::MemorySpace;
        std::uint64_t translated = 0;
        if (!RtTranslateBusAddress(RtValue::PciBus, 0, 0xE0000000, &space, &translated)) {
            return nullptr;
        }
        return RtMapMemory(translated, length, RtValue::NotCached);
    }
};

TEST_F(Backend, ConfigurationReadsOnMissingBusesAndEmptySlots) {
    std::uint8_t header[64];
    EXPECT_EQ(ConfigRead(2, 0, 0, header, 0, 64), 0u);   // not among buses 0,1,3
    EXPECT_EQ(ConfigRead(4, 0, 0, header, 0, 64), 0u);
    header[0] = header[1] = 0;
    EXPECT_EQ(ConfigRead(0, 1, 0, header, 0, 64), 2u);   // nobody at device 1
    EXPECT_EQ(header[0], 0xFF);
    EXPECT_EQ(header[1], 0xFF);
    EXPECT_EQ(ConfigRead(0, 0, 0, header, 0, 64), 64u);  // the host bridge
    EXPECT_EQ(header[0] | header[1] << 8, 0x8086);
    EXPECT_EQ(RtGetBusDataByOffset(2, 0, 0, header, 0, 64), 0u);  // not PCI configuration
}

TEST_F(Backend, BoardHeaderCarriesItsIdentityAtTheSlotOfDeviceAndFunction) {
    std::uint8_t h[64] = {};
    ASSERT_EQ(ConfigRead(1, 4, 2, h, 0, 64), 64u);
    EXPECT_EQ(h[0x00] | h[0x01] << 8, 0x13A8);
    EXPECT_EQ(h[0x02] | h[0x03] << 8, 0x0154);
    EXPECT_EQ(h[0x10] | h[0x11] << 8 | h[0x12] << 16 | static_cast<std::uint32_t>(h[0x13]) << 24,
              0xE0000000u);
    EXPECT_EQ(h[0x2C] | h[0x2D] << 8, 0x12C4);
    EXPECT_EQ(h[0x2E] | h[0x2F] << 8, 0x0321);
    EXPECT_EQ(h[0x3C], 11);
    std::uint8_t subsystem[4] = {};
    EXPECT_EQ(ConfigRead(1, 4, 2, subsystem, 0x2C, 4), 4u);
    EXPECT_EQ(subsystem[2] | subsystem[3] << 8, 0x0321);
    EXPECT_EQ(ConfigRead(1, 4, 0, h, 0, 64), 2u);  // function 0 of that device is empty
    std::uint8_t multi[64] = {};
    ASSERT_EQ(ConfigRead(3, 0, 0, multi, 0, 64), 64u);
    EXPECT_EQ(multi[0x0E] & 0x80, 0x80);  // a second function sits beside it
}

TEST_F(Backend, Bar0TranslatesAndMapsTheBoardsRegisters) {
    auto* base = static_cast<volatile std::uint8_t*>(MapFirstBoard(2048));
    ASSERT_NE(base, nullptr);
    RtStoreRegister8(base + 0x200 + 0x07, 0x5A);  // channel 1's scratch register
    EXPECT_EQ(RtLoadRegister8(base + 0x200 + 0x07), 0x5A);
    EXPECT_EQ(host::CurrentMachine().GetBoard(0).Peek(1).scratch, 0x5A);
    EXPECT_EQ(RtLoadRegister8(base + 0x80), 0);  // IntSummary
}

TEST_F(Backend, TranslationAndMappingRefuseWhatTheBoardDoesNotDecode) {
    std::uint32_t space = RtValue::MemorySpace;
    std::uint64_t translated = 0;
    EXPECT_FALSE(RtTranslateBusAddress(RtValue::PciBus, 0, 0xD0000000, &space, &translated));
    space = 1;  // I/O space
    EXPECT_FALSE(RtTranslateBusAddress(RtValue::PciBus, 0, 0xE0000000, &space, &translated));
    EXPECT_EQ(MapFirstBoard(4096), nullptr);  // a 4-channel board decodes 2048 bytes
    EXPECT_EQ(RtMapMemory(0xE0000000, 1024, 1), nullptr);  // cached
    EXPECT_NE(RtMapMemory(0xE0000400, 1024, RtValue::NotCached), nullptr);
    host::FailNthCall(host::Fault::Translation, 1);
    EXPECT_EQ(MapFirstBoard(2048), nullptr);
    host::FailNthCall(host::Fault::Mapping, 1);
    EXPECT_EQ(MapFirstBoard(2048), nullptr);
    EXPECT_NE(MapFirstBoard(2048), nullptr);
}

std::uint32_t routineRuns = 0;
std::uint32_t prechecks = 0;
volatile std::uint8_t* mappedBoard = nullptr;

// Serves channel 0's transmit-empty by reading its IIR; notes that it ran under the CPU lock.
std::uint8_t ServeChannelZero(void* context) {
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread());
    EXPECT_EQ(context, &routineRuns);
    ++routineRuns;
    RtLoadRegister8(mappedBoard + 0x02);
    return 1;
}

std::uint8_t ServeNothing(void*) {
    ++routineRuns;
    return 1;
}

std::int32_t NotMine(void*) {
    ++prechecks;
    return RtValue::PrecheckNotOurs;
}

std::int32_t Mine(void*) {
    ++prechecks;
    return RtValue::PrecheckRunService;
}

TEST_F(Backend, AttachFailsWhenNothingIsOnTheLineOrTheFaultIsArmed) {
    SetLastError(0);
    EXPECT_EQ(RtAttachInterruptVector(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                      1, 5, 5),
              nullptr);
    EXPECT_EQ(GetLastError(), RtError::PathNotFound);
    EXPECT_EQ(RtAttachInterruptVector(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                      0, 11, 11),
              nullptr);  // irq 11 is on buses 1 and 3, not 0
    host::FailNthCall(host::Fault::InterruptAttach, 1);
    EXPECT_EQ(RtAttachInterruptVector(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                      1, 11, 11),
              nullptr);
    EXPECT_NE(RtAttachInterruptVector(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                      1, 11, 11),
              nullptr);
    // Held exclusively now.
    EXPECT_EQ(RtAttachInterruptVectorEx(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                        1, 11, 11, 1, RtValue::LevelSensitive, Mine),
              nullptr);
    // Not level-sensitive.
    EXPECT_EQ(RtAttachInterruptVectorEx(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                        3, 9, 9, 1, 1, Mine),
              nullptr);
}

TEST_F(Backend, LevelSensitiveLineRunsTheRoutineUntilItIsServed) {
    mappedBoard = static_cast<volatile std::uint8_t*>(MapFirstBoard(2048));
    ASSERT_NE(mappedBoard, nullptr);
    routineRuns = 0;
    ASSERT_NE(RtAttachInterruptVector(nullptr, 0, ServeChannelZero, &routineRuns, 127,
                                      RtValue::PciBus, 1, 11, 11),
              nullptr);
    EXPECT_EQ(host::DeliverInterrupts(), 0u);  // nothing asserted
    RtStoreRegister8(mappedBoard + 0x01, 0x0F);  // channel 0: transmit-empty raised
    EXPECT_TRUE(host::CurrentMachine().GetBoard(0).LineAsserted());
    EXPECT_EQ(host::DeliverInterrupts(), 1u);
    EXPECT_EQ(routineRuns, 1u);
    EXPECT_FALSE(host::CurrentMachine().GetBoard(0).LineAsserted());
}

TEST_F(Backend, SharedAttachmentsAskTheirPrechecksAndAnUnservedLineEndsTheDelivery) {
    mappedBoard = static_cast<volatile std::uint8_t*>(MapFirstBoard(2048));
    routineRuns = prechecks = 0;
    ASSERT_NE(RtAttachInterruptVectorEx(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus,
                                        1, 11, 11, 1, RtValue::LevelSensitive, NotMine),
              nullptr);
    RtStoreRegister8(mappedBoard + 0x01, 0x0F);
    EXPECT_EQ(host::DeliverInterrupts(), 1u);  // nothing changed: no second pass
    EXPECT_EQ(prechecks, 1u);
    EXPECT_EQ(routineRuns, 0u);
    ASSERT_NE(RtAttachInterruptVectorEx(nullptr, 0, ServeChannelZero, &routineRuns, 127,
                                        RtValue::PciBus, 1, 11, 11, 1, RtValue::LevelSensitive,
                                        Mine),
              nullptr);
    EXPECT_EQ(host::DeliverInterrupts(), 1u);
    EXPECT_EQ(prechecks, 3u);
    EXPECT_EQ(routineRuns, 1u);
    EXPECT_FALSE(host::CurrentMachine().GetBoard(0).LineAsserted());
}

TEST_F(Backend, TraceWritesEveryAccessWithItsWindowAndOffset) {
    const std::string path = ::testing::TempDir() + "quelta-trace-test.txt";
    sim::MachineOptions options;
    options.tracePath = path;
    Install(TwoBoards, options);
    auto* base = static_cast<volatile std::uint8_t*>(MapFirstBoard(2048));
    ASSERT_NE(base, nullptr);
    RtStoreRegister8(base + 0x403, 0x83);
    RtLoadRegister8(base + 0x080);
    RtStoreRegister8(base + 0x7FF, 0x01);
    std::ifstream trace(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(trace, line);) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"1 0.2 W 0x003 0x83", "2 0.0 R 0x080 0x00",
                                               "3 0.3 W 0x1FF 0x01"}));
    const sim::BoardCounters counters = host::CurrentMachine().GetBoard(0).Counters();
    EXPECT_EQ(counters.loads, 1u);
    EXPECT_EQ(counters.stores, 2u);
    std::remove(path.c_str());
}

// Services the interrupt but leaves a section open, as an early return between a disable and its
// restore would.
std::uint8_t LeakySection(void*) {
    (void)DisableInterrupts();
    return 1;
}

// Where the target's processor would stay with interrupts off, the host ends the program with a
// message instead: an interrupt routine that returns, and a request or set-up thread that waits
// or sleeps, with a section of its own still open.
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
            auto* base = static_cast<volatile std::uint8_t*>(MapFirstBoard(2048));
            RtAttachInterruptVector(nullptr, 0, LeakySection, nullptr, 127, RtValue::PciBus, 1, 11,
                                    11);
            RtStoreRegister8(base + 0x001, 0x0F);  // IER: the empty transmitter interrupts
            host::DeliverInterrupts();
        },
        "an interrupt service routine returned with 1 interrupt section");
}

}  // namespace
}  // namespace simtest
