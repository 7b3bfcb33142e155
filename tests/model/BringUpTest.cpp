// Board bring-up on the simulated machine: the EEPROM clock, a stuck data line, the shared
// interrupt's pre-check, the end of the bus scan.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hw/BoardClock.h"
#include "hw/PciConfig.h"
#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostPlatform.h"
#include "port/Isr.h"
#include "server/DeviceChannel.h"
#include "server/DeviceNames.h"
#include "sim/Description.h"
#include "sim/Machine.h"
#include "startup/BoardModels.h"
#include "startup/BoardSetup.h"
#include "startup/Discovery.h"
#include "startup/Options.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestPorts.h"

namespace {

// Installs a machine built from description text, with interrupts delivered by hand.
sim::Machine& Install(const std::string& text, const sim::MachineOptions& options = {}) {
    const sim::ParsedDescription parsed = sim::ParseDescription(text);
    EXPECT_TRUE(parsed.description.has_value()) << parsed.error.what;
    host::InstallMachine(std::make_unique<sim::Machine>(*parsed.description, options),
                         host::InterruptDelivery::Manual);
    return host::CurrentMachine();
}

// The board's header as discovery reads it, and its registers as set-up maps them.
ChannelRegs* MapAt(std::uint32_t bus, std::uint32_t device, std::uint8_t* header) {
    EXPECT_EQ(
        RtGetBusDataByOffset(RtValue::PciConfiguration, bus, device, header, 0, Pci::HeaderSize),
        Pci::HeaderSize);
    EXPECT_TRUE(MapBoard(header));
    return boardBase;
}

class OnModel : public ::testing::Test {
protected:
    void TearDown() override {
        host::RemoveMachine();
        isrContext = {};
        boardClockHz = 0;
        boardBase = nullptr;
    }
};

// Set-up maps the board, gives every channel its record and its device (served at priority 121)
// and says so as it goes; the names start at -P. A translation that fails stops it silently.
TEST_F(OnModel, SetUpPublishesEveryChannelsPort) {
    Install("board bus=0 device=3 function=0 device-id=0x0154 subsystem=0x311 irq=5 clock=1\n");
    std::uint8_t header[Pci::HeaderSize];
    RtGetBusDataByOffset(RtValue::PciConfiguration, 0, 3, header, 0, Pci::HeaderSize);
    portBase = 250;
    testing::internal::CaptureStdout();
    host::FailNthCall(host::Fault::Translation, 1);
    EXPECT_EQ(SetUpBoard(4, header), 0) << "a failed translation: nothing made, nothing said";
    EXPECT_EQ(PortTable[0], nullptr);
    EXPECT_EQ(SetUpBoard(4, header), 1);
    PrepareInterruptContext(header);
    EXPECT_EQ(isrContext.intSummaryAddr,
              reinterpret_cast<volatile std::uint8_t*>(boardBase) + IntSummary);
    std::string loaded;
    for (int n = 250; n < 254; ++n) {
        loaded += "\\RtDevice\\Quelta\\Serial" + std::to_string(n) + " driver loaded\n";
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), loaded);
    for (std::uint8_t n = 0; n < 4; ++n) {
        EXPECT_EQ(PortTable[n]->regs, boardBase + n);
        EXPECT_EQ(PortTable[n]->deviceId, 0x0154);
        EXPECT_EQ(PortTable[n]->hasLineDriverControl, n >= 2 ? 1 : 0);
        EXPECT_EQ(DeviceNameTable[n].portIndex, n);
        EXPECT_EQ(host::RecordedPriority(deviceChannels[n]->serviceThread), 121);
        testsupport::DestroyChannel(deviceChannels[n]);
        RtFreeLockedMemory(PortTable[n]);
        PortTable[n] = nullptr;
        DeviceNameTable[n] = {};
        deviceChannels[n] = nullptr;
    }
    portBase = 0;
}

// Two boards share interrupt line 5 and the driver serves the one at device 2: while only the
// other board interrupts, its pre-check declines and its service never runs.
TEST_F(OnModel, SharedPrecheckAnswersForItsOwnBoardOnly) {
    sim::Machine& machine = Install(
        "board bus=0 device=2 function=0 device-id=0x0152 subsystem=0x300 irq=5 clock=14745600\n"
        "board bus=0 device=5 function=0 device-id=0x0152 subsystem=0x300 irq=5 clock=14745600\n");
    std::uint8_t ours[Pci::HeaderSize], theirs[Pci::HeaderSize];
    ChannelRegs* ourBoard = MapAt(0, 2, ours);
    ChannelRegs* otherBoard = MapAt(0, 5, theirs);
    // The driver's half, as set-up leaves it; pinPulse makes every run of its service visible.
    fake::TestPorts ports;
    ports.Add(0, ourBoard);
    isrContext.intSummaryAddr = reinterpret_cast<volatile std::uint8_t*>(ourBoard) + IntSummary;
    isrContext.pinLevelAddr = reinterpret_cast<volatile std::uint8_t*>(ourBoard) + PinLevel;
    isrContext.pinPulse = 1;
    ASSERT_EQ(AttachBoardInterrupt(ours, 0, 1), 0u);

    WriteReg(otherBoard, IER, Ier::All);  // transmit-empty, which nobody serves
    host::DeliverInterrupts();
    EXPECT_TRUE(machine.GetBoard(0).PinLevelWrites().empty());
    WriteReg(ourBoard, IER, Ier::All);
    host::DeliverInterrupts();
    EXPECT_EQ(machine.GetBoard(0).PinLevelWrites(),
              (std::vector<std::uint8_t>{Pin::PulseStart, Pin::PulseEnd}));
}

// A platform that answers for every bus number (here by wrapping it, as an 8-bit bus field does)
// never reports the bus that ends the scan: the scan stops after bus 255 all the same.
TEST_F(OnModel, BusScanEndsAfterTheLastPciBus) {
    sim::MachineOptions options;
    options.wrapBusNumbers = true;
    Install("buses 256\nfunction bus=0 device=0 function=0 vendor=0x8086 device-id=0x1237\n",
            options);
    ::testing::internal::CaptureStdout();
    DiscoverBoard();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "There is no Quelta board in the system.\n");
}

}  // namespace
