// Register regions live in a reserved range that is never made accessible: a load or store through
// the platform is routed to the device mapped there, and a stray dereference of a register address
// faults at once, as an access past a real mapping would.
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/Rtss.h"
#include "platform/host/RegisterDevice.h"

namespace host {
namespace {

constexpr std::size_t SlotCount = 64;

struct Slot {
    std::atomic<sim::RegisterDevice*> device{nullptr};
    std::atomic<std::uint32_t> length{0};
};

std::array<Slot, SlotCount> slots;
std::mutex mappingLock;  // serialises map and unmap; accesses are lock-free
std::uintptr_t reservedBase = 0;

std::uintptr_t ReservedRange() {
    static const std::uintptr_t base = [] {
        void* range = mmap(nullptr, SlotCount * MaxMappingLength, PROT_NONE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (range == MAP_FAILED) {
            std::fputs("host platform: cannot reserve the register range\n", stderr);
            std::abort();
        }
        return reinterpret_cast<std::uintptr_t>(range);
    }();
    return base;
}

[[noreturn]] void BadAccess(std::uintptr_t address, const char* what) {
    std::fprintf(stderr, "host platform: %s of unmapped register address %#lx\n", what,
                 static_cast<unsigned long>(address));
    std::abort();
}

// The device and offset behind an address, or null when nothing is mapped there.
sim::RegisterDevice* DeviceAt(std::uintptr_t address, std::uint32_t* offset) {
    const std::uintptr_t base = ReservedRange();
    if (address < base || address >= base + SlotCount * MaxMappingLength) {
        return nullptr;
    }
    const Slot& slot = slots[(address - base) / MaxMappingLength];
    *offset = static_cast<std::uint32_t>((address - base) % MaxMappingLength);
    sim::RegisterDevice* device = slot.device.load(std::memory_order_acquire);
    return *offset < slot.length.load(std::memory_order_relaxed) ? device : nullptr;
}

// The same, or a crash for an address nothing is mapped at.
sim::RegisterDevice* Resolve(std::uintptr_t address, std::uint32_t* offset, const char* what) {
    sim::RegisterDevice* device = DeviceAt(address, offset);
    if (device == nullptr) {
        BadAccess(address, what);
    }
    return device;
}

}  // namespace

bool IsMappedRegister(const volatile void* address) {
    std::uint32_t offset = 0;
    return DeviceAt(reinterpret_cast<std::uintptr_t>(address), &offset) != nullptr;
}

void* MapRegisterDevice(sim::RegisterDevice* device, std::uint32_t length) {
    if (length == 0 || length > MaxMappingLength) {
        return nullptr;
    }
    const std::lock_guard guard(mappingLock);
    reservedBase = ReservedRange();
    for (std::size_t i = 0; i < SlotCount; ++i) {
        if (slots[i].device.load() == nullptr) {
            slots[i].length.store(length, std::memory_order_relaxed);
            slots[i].device.store(device, std::memory_order_release);
            return reinterpret_cast<void*>(reservedBase + i * MaxMappingLength);
        }
    }
    return nullptr;
}

void UnmapRegisterDevice(void* base) {
    const std::lock_guard guard(mappingLock);
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t range = ReservedRange();
    if (address >= range && address < range + SlotCount * MaxMappingLength) {
        Slot& slot = slots[(address - range) / MaxMappingLength];
        slot.device.store(nullptr, std::memory_order_release);
        slot.length.store(0, std::memory_order_relaxed);
    }
}

}  // namespace host

std::uint8_t RtLoadRegister8(const volatile std::uint8_t* address) {
    std::uint32_t offset = 0;
    sim::RegisterDevice* device =
        host::Resolve(reinterpret_cast<std::uintptr_t>(address), &offset, "load");
    return device->Load(offset);
}

void RtStoreRegister8(volatile std::uint8_t* address, std::uint8_t value) {
    std::uint32_t offset = 0;
    sim::RegisterDevice* device =
        host::Resolve(reinterpret_cast<std::uintptr_t>(address), &offset, "store");
    device->Store(offset, value);
}
