// PCI configuration space, bus address translation and register mapping on the simulated
// machine, and the machine's installation.
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/RegisterDevice.h"

namespace host {
namespace {

// A mapping that starts inside a board's region: offsets shifted onto the board.
class RegionWindow final : public sim::RegisterDevice {
public:
    RegionWindow(sim::RegisterDevice& board, std::uint32_t offset)
        : board_(board), offset_(offset) {}
    std::uint8_t Load(std::uint32_t offset) override { return board_.Load(offset_ + offset); }
    void Store(std::uint32_t offset, std::uint8_t value) override {
        board_.Store(offset_ + offset, value);
    }

private:
    sim::RegisterDevice& board_;
    std::uint32_t offset_;
};

struct Binding {
    std::mutex lock;
    std::unique_ptr<sim::Machine> machine;
    InterruptDelivery delivery = InterruptDelivery::Threads;
    std::vector<void*> mappings;
    std::vector<std::unique_ptr<RegionWindow>> windows;
    bool endWorkRegistered = false;
};

// Never destroyed: the machine's threads may still run while the process exits.
Binding& State() {
    static Binding* binding = new Binding;
    return *binding;
}

void RemovePtyLinksAtProcessEnd() {
    Binding& binding = State();
    const std::lock_guard guard(binding.lock);
    if (binding.machine) {
        binding.machine->RemovePtyLinks();
    }
}

}  // namespace

void LinkPtysOfHeldDevices() {
    Binding& binding = State();
    const std::lock_guard guard(binding.lock);
    if (binding.machine) {
        binding.machine->LinkPtys();
    }
}

void InstallMachine(std::unique_ptr<sim::Machine> machine, InterruptDelivery delivery) {
    RemoveMachine();
    Binding& binding = State();
    const std::lock_guard guard(binding.lock);
    binding.machine = std::move(machine);
    binding.delivery = delivery;
}

sim::Machine& CurrentMachine() {
    Binding& binding = State();
    {
        const std::lock_guard guard(binding.lock);
        if (binding.machine) {
            return *binding.machine;
        }
    }
    sim::LoadedMachine loaded = sim::LoadMachineFromEnvironment();
    if (!loaded.machine) {
        std::fprintf(stderr, "simulated machine: %s\n", loaded.error.c_str());
        ExitProcess(2);
    }
    const std::lock_guard guard(binding.lock);
    if (!binding.machine) {
        binding.machine = std::move(loaded.machine);
        binding.delivery = InterruptDelivery::Threads;
        if (!binding.endWorkRegistered) {
            binding.endWorkRegistered = true;
            AtProcessEnd(RemovePtyLinksAtProcessEnd);
        }
    }
    return *binding.machine;
}

InterruptDelivery CurrentDelivery() {
    Binding& binding = State();
    const std::lock_guard guard(binding.lock);
    return binding.delivery;
}

void RemoveMachine() {
    DetachAllInterrupts();
    Binding& binding = State();
    const std::lock_guard guard(binding.lock);
    for (void* base : binding.mappings) {
        UnmapRegisterDevice(base);
    }
    binding.mappings.clear();
    binding.windows.clear();
    binding.machine.reset();
}

void RunMachine(sim::SimTime duration, sim::SimTime step) {
    sim::Machine& machine = CurrentMachine();
    for (sim::SimTime done = 0; done < duration; done += step) {
        machine.Advance(step);
        DeliverInterrupts();
    }
}

}  // namespace host

std::uint32_t RTAPI RtGetBusDataByOffset(std::uint32_t busDataType, std::uint32_t busNumber,
                                         std::uint32_t slotNumber, void* buffer,
                                         std::uint32_t offset, std::uint32_t length) {
    if (busDataType != RtValue::PciConfiguration || buffer == nullptr) {
        return 0;
    }
    return host::CurrentMachine().ReadConfig(busNumber, slotNumber, buffer, offset, length);
}

// PCI memory addresses translate one to one; only the boards' BAR0 regions decode anything.
RtBool RTAPI RtTranslateBusAddress(std::uint32_t interfaceType, std::uint32_t /*busNumber*/,
                                   RtLargeInteger busAddress, std::uint32_t* addressSpace,
                                   RtLargeInteger* translatedAddress) {
    if (host::ShouldFail(host::Fault::Translation)) {
        return false;
    }
    if (interfaceType != RtValue::PciBus || addressSpace == nullptr ||
        *addressSpace != RtValue::MemorySpace || translatedAddress == nullptr) {
        return false;
    }
    if (busAddress < 0 ||
        !host::CurrentMachine().RegionAt(static_cast<std::uint64_t>(busAddress))) {
        return false;
    }
    *translatedAddress = busAddress;
    return true;
}

// Registers mapped with caching would read stale values on the target; the host refuses the
// request rather than pretend it works. A mapping never reaches past the board's region.
void* RTAPI RtMapMemory(RtLargeInteger translatedAddress, std::uint32_t length,
                        std::uint32_t cacheType) {
    if (host::ShouldFail(host::Fault::Mapping)) {
        SetLastError(RtError::NotEnoughMemory);
        return nullptr;
    }
    const auto region =
        host::CurrentMachine().RegionAt(static_cast<std::uint64_t>(translatedAddress));
    if (cacheType != RtValue::NotCached || !region || length == 0 ||
        std::uint64_t{region->offset} + length > region->board->RegionLength()) {
        SetLastError(RtError::InvalidParameter);
        return nullptr;
    }
    host::Binding& binding = host::State();
    const std::lock_guard guard(binding.lock);
    sim::RegisterDevice* device = region->board;
    if (region->offset != 0) {
        binding.windows.push_back(
            std::make_unique<host::RegionWindow>(*region->board, region->offset));
        device = binding.windows.back().get();
    }
    void* base = host::MapRegisterDevice(device, length);
    if (base == nullptr) {
        SetLastError(RtError::NotEnoughMemory);
        return nullptr;
    }
    binding.mappings.push_back(base);
    return base;
}
