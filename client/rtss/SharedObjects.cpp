// The target platform's objects, opened by name as a real-time or Windows client process opens
// them: the shared memory object mapped at once by the open, the semaphores and the mutex by their
// handles. Waits take milliseconds; the platform's own mutex is recursive and reports a holder
// that died as abandoned.
#include "client/SharedObjects.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "client/Error.h"
#include "platform/Rtss.h"
#include "wire/RequestBlock.h"

extern "C" {
RtHandle RTAPI RtOpenSharedMemory(std::uint32_t access, RtBool inherit, const char* name,
                                  void** location);
RtHandle RTAPI RtOpenSemaphore(std::uint32_t access, RtBool inherit, const char* name);
RtHandle RTAPI RtOpenMutex(std::uint32_t access, RtBool inherit, const char* name);
RtBool RTAPI RtReleaseMutex(RtHandle mutex);
std::uint32_t RTAPI GetCurrentProcessId();
}

namespace quelta {
namespace {

// Access rights, the values the platform shares with Win32.
constexpr std::uint32_t MapReadWrite = 0x0002;          // FILE_MAP_WRITE (reading included)
constexpr std::uint32_t Synchronize = 0x00100000;       // waits
constexpr std::uint32_t SemaphoreModifyState = 0x0002;  // releases
constexpr std::uint32_t MutexModifyState = 0x0001;      // releases
constexpr std::uint32_t ErrorFileNotFound = 2;
constexpr std::uint32_t ErrorAccessDenied = 5;
// The highest port number a driver can give a device: port base 255 plus channel 7.
constexpr int HighestDeviceNumber = 262;

[[noreturn]] void ThrowPlatformError(const std::string& what) {
    const std::uint32_t code = GetLastError();
    const std::string message = what + " (error " + std::to_string(code) + ")";
    if (code == ErrorFileNotFound) {
        throw Error(ErrorCode::NoSuchDevice, message);
    }
    if (code == ErrorAccessDenied) {
        throw Error(ErrorCode::AccessDenied, message);
    }
    throw Error(ErrorCode::SystemError, message);
}

std::uint32_t MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    // Rounded up, so that a wait never ends before the deadline; kept below "no time limit".
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<std::uint32_t>(std::min<long long>(milliseconds, RtValue::Infinite - 1));
}

void Close(void*& handle) {
    if (handle != nullptr) {
        RtCloseHandle(std::exchange(handle, nullptr));
    }
}

}  // namespace

// The platform does not tell an object's size: the block's own dataAreaSize is all a client has.
SharedMapping::SharedMapping(const std::string& name, std::size_t /*minimumSize*/) {
    handle_ = RtOpenSharedMemory(MapReadWrite, 0, name.c_str(), &address_);
    if (handle_ == nullptr) {
        address_ = nullptr;
        ThrowPlatformError("cannot open " + name);
    }
}

SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      handle_(std::exchange(other.handle_, nullptr)) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
        Release();
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

SharedMapping::~SharedMapping() { Release(); }

// Closing the handle also ends the mapping the open made.
void SharedMapping::Release() {
    Close(handle_);
    address_ = nullptr;
}

NamedSemaphore::NamedSemaphore(const std::string& name) {
    semaphore_ = RtOpenSemaphore(Synchronize | SemaphoreModifyState, 0, name.c_str());
    if (semaphore_ == nullptr) {
        ThrowPlatformError("cannot open semaphore " + name);
    }
}

NamedSemaphore::NamedSemaphore(NamedSemaphore&& other) noexcept
    : semaphore_(std::exchange(other.semaphore_, nullptr)) {}

NamedSemaphore& NamedSemaphore::operator=(NamedSemaphore&& other) noexcept {
    if (this != &other) {
        Close(semaphore_);
        semaphore_ = std::exchange(other.semaphore_, nullptr);
    }
    return *this;
}

NamedSemaphore::~NamedSemaphore() { Close(semaphore_); }

void NamedSemaphore::Post() {
    if (RtReleaseSemaphore(semaphore_, 1, nullptr) == 0) {
        ThrowPlatformError("cannot release the request semaphore");
    }
}

bool NamedSemaphore::TryPost() { return RtReleaseSemaphore(semaphore_, 1, nullptr) != 0; }

bool NamedSemaphore::TryTake() {
    return RtWaitForSingleObject(semaphore_, 0) == RtValue::WaitObject0;
}

TakeResult NamedSemaphore::Take(Clock::duration pollFor, Clock::time_point deadline) {
    const Clock::time_point pollEnd = std::min(Clock::now() + pollFor, deadline);
    do {
        if (TryTake()) return TakeResult::WhilePolling;
    } while (Clock::now() < pollEnd);
    switch (RtWaitForSingleObject(semaphore_, MillisecondsUntil(deadline))) {
    case RtValue::WaitObject0:
        return TakeResult::AfterSleeping;
    case RtValue::WaitTimeout:
        return TakeResult::TimedOut;
    default:
        ThrowPlatformError("cannot wait for the driver's reply");
    }
}

DeviceMutex::DeviceMutex(const std::string& name) {
    handle_ = RtOpenMutex(Synchronize | MutexModifyState, 0, name.c_str());
    if (handle_ == nullptr) {
        ThrowPlatformError("cannot open the device mutex " + name);
    }
}

DeviceMutex::DeviceMutex(DeviceMutex&& other) noexcept
    : mapping_(std::move(other.mapping_)), handle_(std::exchange(other.handle_, nullptr)) {}

DeviceMutex& DeviceMutex::operator=(DeviceMutex&& other) noexcept {
    if (this != &other) {
        Close(handle_);
        mapping_ = std::move(other.mapping_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DeviceMutex::~DeviceMutex() { Close(handle_); }

LockResult DeviceMutex::Lock(Clock::time_point deadline) {
    switch (RtWaitForSingleObject(handle_, MillisecondsUntil(deadline))) {
    case RtValue::WaitObject0:
        return LockResult::Locked;
    case RtValue::WaitAbandoned:
        return LockResult::OwnerDied;
    case RtValue::WaitTimeout:
        return LockResult::TimedOut;
    default:
        ThrowPlatformError("cannot take the device mutex");
    }
}

void DeviceMutex::Unlock() { RtReleaseMutex(handle_); }

// The platform lists no objects: every name a driver can give is tried.
std::vector<std::string> FindDeviceObjects() {
    std::vector<std::string> devices;
    for (int number = 0; number <= HighestDeviceNumber; ++number) {
        const std::string name = DeviceNamePrefix + ("Serial" + std::to_string(number));
        void* location = nullptr;
        void* handle =
            RtOpenSharedMemory(MapReadWrite, 0, (name + SharedMemorySuffix).c_str(), &location);
        if (handle != nullptr) {
            devices.push_back(name);
            Close(handle);
        }
    }
    return devices;
}

CreatorWatch::CreatorWatch(const std::string& objectName) : name_(objectName) {}

// The platform keeps a named object, name included, for as long as any handle to it is open,
// this client's own among them, and tells nothing of who made it: a driver that ended shows
// only to the next request, which is not answered.
bool CreatorWatch::CreatorEnded() const { return false; }

std::uint32_t ThisProcessId() { return GetCurrentProcessId(); }

bool ProcessEnded(std::uint32_t /*processId*/) { return false; }

}  // namespace quelta
