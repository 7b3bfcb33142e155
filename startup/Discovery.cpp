#include "startup/Discovery.h"

#include "hw/PciConfig.h"
#include "platform/Rtss.h"
#include "startup/BoardModels.h"
#include "startup/BoardSetup.h"
#include "startup/Options.h"

namespace {

// The configuration header of the board found, handed on to set-up.
std::uint8_t configHeader[Pci::HeaderSize];

bool IsQueltaDevice(std::uint16_t deviceId) {
    return deviceId == Quelta::Device2 || deviceId == Quelta::Device4 ||
           deviceId == Quelta::Device8 || deviceId == Quelta::Device8b;
}

// Scans bus 0, 1, 2, ... (device 0-31, function 0-7) until the first bus that does not exist, for
// the first board of the family whose Interrupt Line is irqLine, and starts it. False when the scan
// ended without one; familySeen tells whether a board of the family sat on another line. PCI has
// 256 buses: a platform that answers for higher numbers (wrapping them, or reporting "no device"
// rather than "no bus") would keep the scan going for ever, so bus 255 is the last one asked.
bool StartFirstBoardOnIrqLine(bool* familySeen) {
    for (std::uint32_t bus = 0; bus < Pci::BusCount; ++bus) {
        for (std::uint32_t device = 0; device < Pci::DevicesPerBus; ++device) {
            for (std::uint32_t function = 0; function < Pci::FunctionsPerDevice; ++function) {
                const std::uint32_t slot = device | function << Pci::FunctionShift;
                const std::uint32_t read = RtGetBusDataByOffset(
                    RtValue::PciConfiguration, bus, slot, configHeader, 0, Pci::HeaderSize);
                if (read == 0) {
                    return false;  // no such bus: nothing beyond it is probed
                }
                if (read == Pci::EmptySlotBytes &&
                    ConfigWord(configHeader, Pci::VendorId) == Pci::NoDevice) {
                    break;  // nothing at function 0: the device's other functions are not probed
                }
                std::uint8_t subsystem[Pci::SubsystemIdsSize] = {};
                RtGetBusDataByOffset(RtValue::PciConfiguration, bus, slot, subsystem,
                                     Pci::SubsystemVendorId, Pci::SubsystemIdsSize);
                const std::uint16_t deviceId = ConfigWord(configHeader, Pci::DeviceId);
                if (ConfigWord(configHeader, Pci::VendorId) != Quelta::VendorId ||
                    ConfigWord(subsystem, 0) != Quelta::SubsystemVendorId ||
                    !IsQueltaDevice(deviceId)) {
                    continue;
                }
                *familySeen = true;
                if (configHeader[Pci::InterruptLine] != irqLine) {
                    break;  // another board's line: on to the next device
                }
                StartBoard(ChannelCountOf(ConfigWord(subsystem, 2), deviceId), bus, configHeader);
                return true;
            }
        }
    }
    return false;
}

}  // namespace

void DiscoverBoard() {
    bool familySeen = false;
    if (StartFirstBoardOnIrqLine(&familySeen)) {
        return;
    }
    if (familySeen) {
        RtPrintf("Supplied IRQ is not attached to any Quelta board.\n");
    } else {
        RtPrintf("There is no Quelta board in the system.\n");
    }
}
