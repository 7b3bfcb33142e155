// The host backend's objects: POSIX shared memory and semaphores under the names the host backend
// gives the platform's objects, and the device mutex as a robust pthread mutex in a shared memory
// object of its own.
#include "client/SharedObjects.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <utility>

#include "client/Error.h"
#include "client/posix/ObjectNames.h"
#include "platform/host/PosixNames.h"
#include "wire/RequestBlock.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quelta {
namespace {

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// The waits below take a CLOCK_REALTIME deadline: the monotonic variants (sem_clockwait,
// pthread_mutex_clocklock) are invisible to ThreadSanitizer, which then misreads every unlock.
timespec RealtimeDeadline(Clock::time_point deadline) {
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    timespec when{};
    clock_gettime(CLOCK_REALTIME, &when);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() +
                             static_cast<long long>(when.tv_nsec);
    when.tv_sec += static_cast<time_t>(nanoseconds / 1'000'000'000);
    when.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    return when;
}

sem_t* Semaphore(void* semaphore) { return static_cast<sem_t*>(semaphore); }

}  // namespace

SharedMapping::SharedMapping(const std::string& name, std::size_t minimumSize) {
    const std::string posixName = PosixObjectName(name);
    const int descriptor = shm_open(posixName.c_str(), O_RDWR, 0);
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
    void* address = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
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
    if (address_ != nullptr) munmap(address_, size_);
}

NamedSemaphore::NamedSemaphore(const std::string& name) {
    const std::string posixName = PosixObjectName(name);
    sem_t* semaphore = sem_open(posixName.c_str(), 0);
    if (semaphore == SEM_FAILED) {
        ThrowSystemError("cannot open semaphore " + posixName, errno);
    }
    semaphore_ = semaphore;
}

NamedSemaphore::NamedSemaphore(NamedSemaphore&& other) noexcept
    : semaphore_(std::exchange(other.semaphore_, nullptr)) {}

NamedSemaphore& NamedSemaphore::operator=(NamedSemaphore&& other) noexcept {
    if (this != &other) {
        if (semaphore_ != nullptr) sem_close(Semaphore(semaphore_));
        semaphore_ = std::exchange(other.semaphore_, nullptr);
    }
    return *this;
}

NamedSemaphore::~NamedSemaphore() {
    if (semaphore_ != nullptr) sem_close(Semaphore(semaphore_));
}

void NamedSemaphore::Post() {
    if (sem_post(Semaphore(semaphore_)) != 0) {
        ThrowSystemError("cannot release the request semaphore", errno);
    }
}

bool NamedSemaphore::TryTake() {
    while (sem_trywait(Semaphore(semaphore_)) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

TakeResult NamedSemaphore::Take(Clock::duration pollFor, Clock::time_point deadline) {
    const Clock::time_point pollEnd = std::min(Clock::now() + pollFor, deadline);
    do {
        if (TryTake()) return TakeResult::WhilePolling;
        for (int i = 0; i < 16; ++i) CpuRelax();
    } while (Clock::now() < pollEnd);

    const timespec when = RealtimeDeadline(deadline);
    while (sem_timedwait(Semaphore(semaphore_), &when) != 0) {
        if (errno == ETIMEDOUT) return TakeResult::TimedOut;
        if (errno != EINTR) ThrowSystemError("cannot wait for the driver's reply", errno);
    }
    return TakeResult::AfterSleeping;
}

DeviceMutex::DeviceMutex(const std::string& name)
    : mapping_(name, sizeof(posix_names::MutexObject)) {}

DeviceMutex::DeviceMutex(DeviceMutex&& other) noexcept = default;
DeviceMutex& DeviceMutex::operator=(DeviceMutex&& other) noexcept = default;
DeviceMutex::~DeviceMutex() = default;

LockResult DeviceMutex::Lock(Clock::time_point deadline) {
    auto* object = static_cast<posix_names::MutexObject*>(mapping_.Address());
    const timespec when = RealtimeDeadline(deadline);
    const int result = pthread_mutex_timedlock(&object->mutex, &when);
    switch (result) {
    case 0:
        return LockResult::Locked;
    case EOWNERDEAD:
        // The holder died inside a request. Marking the mutex consistent keeps it usable for
        // everyone; the caller deals with the request the dead client may have left behind.
        pthread_mutex_consistent(&object->mutex);
        return LockResult::OwnerDied;
    case ETIMEDOUT:
        return LockResult::TimedOut;
    default:
        ThrowSystemError("cannot take the device mutex", result);
    }
}

void DeviceMutex::Unlock() {
    auto* object = static_cast<posix_names::MutexObject*>(mapping_.Address());
    pthread_mutex_unlock(&object->mutex);
}

std::vector<std::string> FindDeviceObjects() {
    // The object "/<ns>.RtDevice.Quelta.X.sm" is the file <ns>.RtDevice.Quelta.X.sm in /dev/shm;
    // the prefix's trailing backslash maps to the '.' before X.
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

}  // namespace quelta
