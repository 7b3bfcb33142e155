// The host backend's objects: POSIX shared memory objects under the names the host backend gives
// the platform's objects, the semaphores and the mutex holding the records of
// platform/host/SharedSync.h, which 32-bit and 64-bit processes share.
#include "client/SharedObjects.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "client/Error.h"
#include "client/posix/ObjectNames.h"
#include "platform/host/PosixNames.h"
#include "platform/host/SharedSync.h"
#include "wire/RequestBlock.h"

namespace quelta {
namespace {

// The record an object of a semaphore's or mutex's name holds, checked for its kind and layout.
template <typename Record>
Record* RecordIn(const SharedMapping& mapping, const std::string& name, std::uint32_t layout) {
    auto* record = static_cast<Record*>(mapping.Address());
    if (shared_sync::Word(record->layout).load(std::memory_order_relaxed) != layout) {
        throw Error(ErrorCode::ProtocolError,
                    PosixObjectName(name) + " is not a " +
                        (layout == shared_sync::SemaphoreLayout ? "semaphore" : "mutex") +
                        " of this driver's kind (a driver of another version?)");
    }
    return record;
}

shared_sync::SemaphoreRecord& Semaphore(void* semaphore) {
    return *static_cast<shared_sync::SemaphoreRecord*>(semaphore);
}

// The companion the host backend keeps beside every object it creates (platform/host/
// NameClaims.h): its creator holds an exclusive lock on it for as long as it lives.
constexpr char OwnerLockSuffix[] = ".owner";

// What the POSIX name stands for now; false when nothing does.
bool Identify(const std::string& posixName, struct stat& info) {
    const int descriptor = shm_open(posixName.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (descriptor < 0) {
        return false;
    }
    const bool known = fstat(descriptor, &info) == 0;
    close(descriptor);
    return known;
}

}  // namespace

SharedMapping::SharedMapping(const std::string& name, std::size_t minimumSize) {
    const std::string posixName = PosixObjectName(name);
    const int descriptor = shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (descriptor < 0) {
        ThrowSystemError("cannot open " + posixName, errno);
    }
    struct stat info {};
    if (fstat(descriptor, &info) != 0) {
        const int error = errno;
        close(descriptor);
        ThrowSystemError("cannot examine " + posixName, error);
    }
    if (static_cast<std::size_t>(info.st_size) < minimumSize) {
        close(descriptor);
        throw Error(ErrorCode::ProtocolError, posixName + " is " + std::to_string(info.st_size) +
                                                  " bytes, too small for a device object");
    }
    size_ = static_cast<std::size_t>(info.st_size);
    void* address = shared_sync::MapObject(descriptor, size_);
    const int error = errno;
    close(descriptor);
    if (address == MAP_FAILED) {
        ThrowSystemError("cannot map " + posixName, error);
    }
    address_ = address;
}

SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
        Release();
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

SharedMapping::~SharedMapping() { Release(); }

void SharedMapping::Release() {
    if (address_ != nullptr) shared_sync::UnmapObject(address_);
}

NamedSemaphore::NamedSemaphore(const std::string& name)
    : mapping_(name, sizeof(shared_sync::SemaphoreRecord)),
      semaphore_(
          RecordIn<shared_sync::SemaphoreRecord>(mapping_, name, shared_sync::SemaphoreLayout)) {}

NamedSemaphore::NamedSemaphore(NamedSemaphore&& other) noexcept
    : mapping_(std::move(other.mapping_)), semaphore_(std::exchange(other.semaphore_, nullptr)) {}

NamedSemaphore& NamedSemaphore::operator=(NamedSemaphore&& other) noexcept {
    if (this != &other) {
        mapping_ = std::move(other.mapping_);
        semaphore_ = std::exchange(other.semaphore_, nullptr);
    }
    return *this;
}

NamedSemaphore::~NamedSemaphore() = default;

// Refused, as the platform refuses it, when a release already stands: a request that another
// client released outside the device mutex is waiting for the driver.
void NamedSemaphore::Post() {
    if (!shared_sync::Release(Semaphore(semaphore_), 1, nullptr)) {
        throw Error(ErrorCode::ProtocolError,
                    "cannot release the request semaphore: a request is already waiting for the "
                    "driver (sent outside the device mutex)");
    }
}

bool NamedSemaphore::TryPost() { return shared_sync::Release(Semaphore(semaphore_), 1, nullptr); }

bool NamedSemaphore::TryTake() { return shared_sync::TryTake(Semaphore(semaphore_)); }

TakeResult NamedSemaphore::Take(Clock::duration pollFor, Clock::time_point deadline) {
    switch (shared_sync::Take(Semaphore(semaphore_), pollFor, deadline)) {
    case shared_sync::TakeResult::WhilePolling:
        return TakeResult::WhilePolling;
    case shared_sync::TakeResult::AfterSleeping:
        return TakeResult::AfterSleeping;
    case shared_sync::TakeResult::TimedOut:
        return TakeResult::TimedOut;
    case shared_sync::TakeResult::Failed:
        break;
    }
    ThrowSystemError("cannot wait for the driver's reply", errno);
}

DeviceMutex::DeviceMutex(const std::string& name)
    : mapping_(name, sizeof(shared_sync::MutexRecord)) {
    handle_ = RecordIn<shared_sync::MutexRecord>(mapping_, name, shared_sync::MutexLayout);
}

DeviceMutex::DeviceMutex(DeviceMutex&& other) noexcept
    : mapping_(std::move(other.mapping_)), handle_(std::exchange(other.handle_, nullptr)) {}

DeviceMutex& DeviceMutex::operator=(DeviceMutex&& other) noexcept {
    if (this != &other) {
        mapping_ = std::move(other.mapping_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DeviceMutex::~DeviceMutex() = default;

LockResult DeviceMutex::Lock(Clock::time_point deadline) {
    switch (shared_sync::Lock(*static_cast<shared_sync::MutexRecord*>(handle_), deadline)) {
    case shared_sync::LockResult::Locked:
        return LockResult::Locked;
    case shared_sync::LockResult::OwnerDied:
        // The holder died inside a request; the caller deals with what it may have left behind.
        return LockResult::OwnerDied;
    case shared_sync::LockResult::TimedOut:
        return LockResult::TimedOut;
    case shared_sync::LockResult::Failed:
        break;
    }
    ThrowSystemError("cannot take the device mutex", errno);
}

void DeviceMutex::Unlock() {
    shared_sync::Unlock(*static_cast<shared_sync::MutexRecord*>(handle_));
}

std::vector<std::string> FindDeviceObjects() {
    // The object "/<ns>.RtDevice.Quelta.X.sm" is the file <ns>.RtDevice.Quelta.X.sm in /dev/shm;
    // the prefix's trailing backslash maps to the '.' before X. The semaphores' objects (".s1",
    // ".s2"), the mutex's (the bare name) and the owner locks end otherwise.
    const std::string prefix = PosixObjectName(DeviceNamePrefix).substr(1);
    const std::string suffix = SharedMemorySuffix;
    std::vector<std::string> devices;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
        const std::string file = entry.path().filename().string();
        if (file.size() > prefix.size() + suffix.size() && file.starts_with(prefix) &&
            file.ends_with(suffix)) {
            const std::string shortName =
                file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
            if (shortName.find('.') == std::string::npos) {
                devices.push_back(DeviceNamePrefix + shortName);
            }
        }
    }
    return devices;
}

CreatorWatch::CreatorWatch(const std::string& objectName) : name_(PosixObjectName(objectName)) {
    struct stat info {};
    if (Identify(name_, info)) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
}

bool CreatorWatch::CreatorEnded() const {
    struct stat info {};
    if (!Identify(name_, info) || info.st_dev != device_ || info.st_ino != inode_) {
        return true;
    }
    // A driver killed outright leaves its objects until the next one takes their names; the lock
    // it held is free then. Taken only for as long as the test lasts: a new driver may want it.
    const int descriptor =
        shm_open((name_ + OwnerLockSuffix).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (descriptor < 0) {
        return errno == ENOENT;
    }
    const bool free = flock(descriptor, LOCK_SH | LOCK_NB) == 0;
    close(descriptor);
    return free;
}

std::uint32_t ThisProcessId() { return static_cast<std::uint32_t>(getpid()); }

// No such process, or one that has ended and waits for its parent to collect it. A process of
// another user answers EPERM: it lives.
bool ProcessEnded(std::uint32_t processId) {
    if (kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH) {
        return true;
    }
    const std::string path = "/proc/" + std::to_string(processId) + "/stat";
    char state = 0;
    std::uint64_t start = 0;
    return shared_sync::ReadThreadStat(path.c_str(), &state, &start) &&
           (state == 'Z' || state == 'X');
}

}  // namespace quelta
