#include "startup/BoardSetup.h"

#include <cstdio>
#include <new>

#include "hw/BoardClock.h"
#include "hw/Eeprom.h"
#include "hw/PciConfig.h"
#include "hw/RegisterAccess.h"
#include "port/Isr.h"
#include "port/PortEvents.h"
#include "port/PortRecord.h"
#include "server/DeviceChannel.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"
#include "server/RequestGate.h"
#include "startup/BoardModels.h"
#include "startup/FatalError.h"
#include "startup/Options.h"

ChannelRegs* boardBase = nullptr;
DeviceChannel* deviceChannels[MaxPorts] = {};
RtHandle boardInterrupt = nullptr;

namespace {

constexpr std::uint32_t ServiceThreadPriority = 121;
constexpr std::uint32_t InterruptThreadPriority = 127;
constexpr std::uint32_t DefaultStackSize = 0;
constexpr std::uint32_t SettleMs = 1000;
constexpr std::uint32_t AttachFailed = RtError::NotEnoughMemory;  // the code set-up reports

ChannelRegs* ChannelWindow(std::uint8_t channel) { return boardBase + channel; }

// The plain attachment's routine returns nothing; the service's result only matters to the
// shareable one.
void RTFCNDCL ServeBoard(void* context) { InterruptService(context); }

}  // namespace

bool MapBoard(const std::uint8_t* header) {
    const std::uint32_t mapLength = MapLengthOf(ConfigWord(header, Pci::DeviceId));
    // Memory space on PCI; the bus number given here is 0 whatever bus the board sits on (the
    // attachment is the step that uses the board's bus).
    // BAR0 is the low half of the 64-bit bus address, the high half 0.
    std::uint32_t addressSpace = RtValue::MemorySpace;
    const auto busAddress = static_cast<RtLargeInteger>(ConfigDword(header, Pci::Bar0));
    RtLargeInteger translated = 0;
    if (RtTranslateBusAddress(RtValue::PciBus, 0, busAddress, &addressSpace, &translated) == 0) {
        return false;
    }
    boardBase = static_cast<ChannelRegs*>(RtMapMemory(translated, mapLength, RtValue::NotCached));
    if (boardBase == nullptr) {
        RtPrintf("Failed to map the Quelta board registers.\n");
        return false;
    }
    return true;
}

bool SetUpPort(std::uint8_t n, const std::uint8_t* header) {
    void* memory = RtAllocateLockedMemory(sizeof(PortRecord));
    if (memory == nullptr) {
        return false;
    }
    // The platform gives no contents: a record starts cleared, so no request before the first
    // SerialOpen finds garbage ring indices or error bits that never happened.
    PortRecord* port = new (memory) PortRecord{};
    port->regs = ChannelWindow(n);
    port->deviceId = ConfigWord(header, Pci::DeviceId);
    port->hasLineDriverControl = HasLineDriverControl(ConfigWord(header, Pci::SubsystemId), n);
    PortTable[n] = port;

    DeviceNameRecord& record = DeviceNameTable[n];
    std::snprintf(record.deviceName, sizeof record.deviceName, DeviceNameFormat,
                  static_cast<int>(portBase) + n);
    record.portIndex = n;
    return true;
}

bool PublishPort(std::uint8_t n) {
    const DeviceNameRecord& record = DeviceNameTable[n];
    deviceChannels[n] = CreateDeviceChannel(record.deviceName, DispatchRequest, DefaultStackSize,
                                            ServiceThreadPriority, DefaultDataAreaSize);
    if (deviceChannels[n] == nullptr) {
        RtPrintf("Failed to register Quelta driver (error=%d).\n",
                 static_cast<int>(GetLastError()));
        if (GetLastError() == RtError::AlreadyExists) {
            RtPrintf("Driver by this name is already loaded.\n");
        }
        return false;
    }
    RtPrintf("%s driver loaded\n", record.deviceName);
    return true;
}

std::int32_t SetUpBoard(std::uint8_t channelCount, const std::uint8_t* header) {
    if (!MapBoard(header)) {
        return 0;
    }
    for (std::uint8_t n = 0; n < channelCount; ++n) {
        if (!SetUpPort(n, header)) {
            return 0;
        }
        // Beside the device's objects, and made before them, so that the line announcing the
        // device comes once all of the port's objects exist. A port without them works as
        // before and its clients poll, so a failure here is not one of set-up.
        (void)CreatePortEvents(n, DeviceNameTable[n].deviceName);
        if (!PublishPort(n)) {
            return -1;
        }
    }
    return 1;
}

void PrepareInterruptContext(const std::uint8_t* header) {
    auto* window0 = reinterpret_cast<volatile std::uint8_t*>(ChannelWindow(0));
    isrContext.intSummaryAddr = window0 + IntSummary;
    if (ConfigWord(header, Pci::SubsystemId) == Quelta::PinPulseModel) {
        isrContext.pinLevelAddr = window0 + PinLevel;
        isrContext.pinPulse = 1;
    } else {
        isrContext.pinPulse = 0;
    }
}

void SilenceChannels(std::uint8_t channelCount) {
    for (std::uint8_t n = 0; n < channelCount; ++n) {
        WriteReg(ChannelWindow(n), IER, Ier::None);
    }
}

std::uint32_t AttachBoardInterrupt(const std::uint8_t* header, std::uint32_t busNumber,
                                   std::uint8_t shared) {
    const std::uint8_t irq = header[Pci::InterruptLine];
    if (shared != 0) {
        boardInterrupt =
            RtAttachInterruptVectorEx(nullptr, DefaultStackSize, InterruptService, &isrContext,
                                      InterruptThreadPriority, RtValue::PciBus, busNumber, irq, irq,
                                      shared, RtValue::LevelSensitive, InterruptPrecheck);
    } else {
        boardInterrupt =
            RtAttachInterruptVector(nullptr, DefaultStackSize, ServeBoard, &isrContext,
                                    InterruptThreadPriority, RtValue::PciBus, busNumber, irq, irq);
    }
    if (boardInterrupt == nullptr) {
        RtPrintf("RtAttachInterruptVectorEx failed %x\n", static_cast<unsigned>(GetLastError()));
        return AttachFailed;
    }
    return 0;
}

void StartBoard(std::uint8_t channelCount, std::uint32_t busNumber, const std::uint8_t* header) {
    // Each port serves from the moment its channel exists; its requests wait until the board is.
    HoldRequests();
    // Whatever failed has been reported; go on with the channels that were set up, as long as
    // channel 0 is one of them (its device channel is made last of all it needs): the clock and
    // the interrupt summary are reached through it, and a driver that serves no port must not
    // take the board's interrupt from one that does.
    if (SetUpBoard(channelCount, header) != 1 && deviceChannels[0] == nullptr) {
        RtPrintf("Quelta board set-up failed: no port is served.\n");
        ReleaseRequests();
        return;
    }
    boardClockHz = ReadBoardClock(PortTable[0]->regs);
    PrepareInterruptContext(header);
    // No channel may raise an interrupt before the service is attached.
    SilenceChannels(channelCount);

    if (AttachBoardInterrupt(header, busNumber, irqShared) != 0) {
        FatalError(u"Failed to open serial port\n");
    }
    Sleep(SettleMs);
    ReleaseRequests();
}
