// Named shared memory, semaphores and mutexes, each a POSIX shared memory object under the name
// that platform/host/PosixNames.h gives it; semaphores and mutexes hold the bitness-neutral
// records of platform/host/SharedSync.h. Each handle owns its mapping; closing the handle of an
// object this process created also removes the name (platform/host/NameClaims.h).
#include "platform/host/NamedObjects.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostObject.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NameClaims.h"
#include "platform/host/PosixNames.h"
#include "platform/host/SharedSync.h"

namespace host {
namespace {

constexpr std::uint32_t AccessDenied = 5;  // the platform's code for a name we may not use

std::atomic<std::uint32_t> openObjects{0};

class NamedObject : public HostObject {
public:
    explicit NamedObject(NameClaim* claim) : claim_(claim) { ++openObjects; }
    ~NamedObject() override {
        ReleaseName(claim_);
        --openObjects;
    }

private:
    NameClaim* claim_;
};

class SharedMemoryObject final : public NamedObject {
public:
    SharedMemoryObject(NameClaim* claim, void* base, std::size_t size)
        : NamedObject(claim), base_(base), size_(size) {}
    ~SharedMemoryObject() override { munmap(base_, size_); }

private:
    void* base_;
    std::size_t size_;
};

// A semaphore's or mutex's record, in the process's one mapping of its object.
template <typename Record>
class SyncObject : public NamedObject {
public:
    SyncObject(NameClaim* claim, void* base)
        : NamedObject(claim), record_(static_cast<Record*>(base)) {}
    ~SyncObject() override { shared_sync::UnmapObject(record_); }
    Record& Get() const { return *record_; }

private:
    Record* record_;
};

// A semaphore handle learns how long the waits on it poll: a device channel's service thread
// waits on its request semaphore through one handle, and whether the next request follows the
// last reply within microseconds is a habit of the port's clients.
class SemaphoreObject final : public SyncObject<shared_sync::SemaphoreRecord> {
public:
    using SyncObject::SyncObject;
    shared_sync::PollWindow& Poll() { return poll_; }

private:
    shared_sync::PollWindow poll_{std::chrono::microseconds(PollBeforeSleepMicroseconds)};
};

using SharedMutexObject = SyncObject<shared_sync::MutexRecord>;

std::uint32_t ErrorFor(int reason) {
    switch (reason) {
    case EEXIST:
        return RtError::AlreadyExists;
    case EACCES:
    case EPERM:
        return AccessDenied;
    case ENOMEM:
    case ENOSPC:
        return RtError::NotEnoughMemory;
    default:
        return RtError::PathNotFound;
    }
}

// A shared memory object is made and filled under a private name and then linked under its own
// name in one step, which fails when the name exists: whoever opens the name finds it complete
// (the full size, a semaphore's or mutex's record filled in).
//
// A semaphore's or mutex's record is mapped once per process, so that ThreadSanitizer sees the
// driver's and an in-process client's waits and wakes on one word. The request block gets a
// mapping of its own, as a client in another process has: such a client (the tests' peers) takes
// its turns unseen by ThreadSanitizer, which would take this process's turns for races.
enum class MapAs { Own, OncePerProcess };

struct Draft {
    std::string name;
    MapAs mapAs = MapAs::Own;
    void* base = MAP_FAILED;
    std::size_t size = 0;
};

void Unmap(const Draft& draft) {
    if (draft.mapAs == MapAs::OncePerProcess) {
        shared_sync::UnmapObject(draft.base);
    } else {
        munmap(draft.base, draft.size);
    }
}

bool MakeDraft(const std::string& objectName, std::size_t size, MapAs mapAs, Draft& draft) {
    draft.name = DraftName(objectName);
    draft.mapAs = mapAs;
    draft.size = size;
    const int fd =
        shm_open(draft.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, ObjectMode());
    if (fd < 0) {
        return false;
    }
    // fchmod, unlike the creation mode, does not pass through the umask.
    bool made = fchmod(fd, ObjectMode()) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (made) {
        draft.base = mapAs == MapAs::OncePerProcess
                         ? shared_sync::MapObject(fd, size)
                         : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        made = draft.base != MAP_FAILED;
    }
    const int reason = errno;
    close(fd);
    if (!made) {
        shm_unlink(draft.name.c_str());
        errno = reason;
    }
    return made;
}

bool PublishDraft(const Draft& draft, const std::string& objectName) {
    const bool linked =
        link(SharedMemoryPath(draft.name).c_str(), SharedMemoryPath(objectName).c_str()) == 0;
    const int reason = errno;
    shm_unlink(draft.name.c_str());
    if (!linked) {
        Unmap(draft);
        errno = reason;
    }
    return linked;
}

RtHandle Fail(std::uint32_t code, NameClaim* claim = nullptr) {
    ReleaseName(claim);
    SetLastError(code);
    return nullptr;
}

// A wait of milliseconds (Infinite: no limit) as a deadline.
std::optional<shared_sync::Clock::time_point> DeadlineIn(std::uint32_t milliseconds) {
    if (milliseconds == RtValue::Infinite) {
        return std::nullopt;
    }
    return shared_sync::Clock::now() + std::chrono::milliseconds(milliseconds);
}

std::uint32_t WaitSemaphore(SemaphoreObject& object, std::uint32_t milliseconds) {
    shared_sync::SemaphoreRecord& semaphore = object.Get();
    if (milliseconds == 0) {
        return shared_sync::TryTake(semaphore) ? RtValue::WaitObject0 : RtValue::WaitTimeout;
    }
    const shared_sync::Clock::time_point start = shared_sync::Clock::now();
    const shared_sync::TakeResult result =
        shared_sync::Take(semaphore, object.Poll().Next(), DeadlineIn(milliseconds));
    object.Poll().Learn(result, shared_sync::Clock::now() - start);
    switch (result) {
    case shared_sync::TakeResult::WhilePolling:
    case shared_sync::TakeResult::AfterSleeping:
        return RtValue::WaitObject0;
    case shared_sync::TakeResult::TimedOut:
        return RtValue::WaitTimeout;
    case shared_sync::TakeResult::Failed:
        break;
    }
    SetLastError(RtError::InvalidHandle);
    return RtValue::WaitFailed;
}

std::uint32_t WaitMutex(shared_sync::MutexRecord& mutex, std::uint32_t milliseconds) {
    switch (shared_sync::Lock(mutex, DeadlineIn(milliseconds))) {
    case shared_sync::LockResult::Locked:
        return RtValue::WaitObject0;
    case shared_sync::LockResult::OwnerDied:
        return RtValue::WaitAbandoned;
    case shared_sync::LockResult::TimedOut:
        return RtValue::WaitTimeout;
    case shared_sync::LockResult::Failed:
        break;
    }
    SetLastError(RtError::InvalidHandle);
    return RtValue::WaitFailed;
}

}  // namespace

std::uint32_t OpenNamedObjects() { return openObjects.load(); }

}  // namespace host

RtHandle RTAPI RtCreateSharedMemoryA(std::uint32_t protection, std::uint32_t maximumSizeHigh,
                                     std::uint32_t maximumSizeLow, const char* name,
                                     void** location) {
    if (host::ShouldFail(host::Fault::SharedMemory)) {
        return host::Fail(RtError::NotEnoughMemory);
    }
    if (name == nullptr || location == nullptr || protection != RtValue::PageReadWrite ||
        maximumSizeHigh != 0 || maximumSizeLow == 0) {
        return host::Fail(RtError::InvalidParameter);
    }
    const std::string objectName = posix_names::ObjectName(name);
    host::NameClaim* claim = host::ClaimName(objectName);
    if (claim == nullptr) {
        return host::Fail(host::ErrorFor(errno));
    }
    host::Draft draft;
    if (!host::MakeDraft(objectName, maximumSizeLow, host::MapAs::Own, draft) ||
        !host::PublishDraft(draft, objectName)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    *location = draft.base;
    host::LinkPtysOfHeldDevices();
    return new host::SharedMemoryObject(claim, draft.base, draft.size);
}

RtHandle RTAPI RtCreateSemaphoreA(void* /*security*/, std::int32_t initialCount,
                                  std::int32_t maximumCount, const char* name) {
    if (host::ShouldFail(host::Fault::Semaphore)) {
        return host::Fail(RtError::NotEnoughMemory);
    }
    if (name == nullptr || maximumCount < 1 || initialCount < 0 || initialCount > maximumCount) {
        return host::Fail(RtError::InvalidParameter);
    }
    const std::string objectName = posix_names::ObjectName(name);
    host::NameClaim* claim = host::ClaimName(objectName);
    if (claim == nullptr) {
        return host::Fail(host::ErrorFor(errno));
    }
    host::Draft draft;
    if (!host::MakeDraft(objectName, sizeof(shared_sync::SemaphoreRecord),
                         host::MapAs::OncePerProcess, draft)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    shared_sync::InitSemaphore(*static_cast<shared_sync::SemaphoreRecord*>(draft.base),
                               static_cast<std::uint32_t>(initialCount),
                               static_cast<std::uint32_t>(maximumCount));
    if (!host::PublishDraft(draft, objectName)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    return new host::SemaphoreObject(claim, draft.base);
}

RtHandle RTAPI RtCreateMutexA(void* /*security*/, RtBool initialOwner, const char* name) {
    if (host::ShouldFail(host::Fault::Mutex)) {
        return host::Fail(RtError::NotEnoughMemory);
    }
    if (name == nullptr) {
        return host::Fail(RtError::InvalidParameter);
    }
    const std::string objectName = posix_names::ObjectName(name);
    host::NameClaim* claim = host::ClaimName(objectName);
    if (claim == nullptr) {
        return host::Fail(host::ErrorFor(errno));
    }
    host::Draft draft;
    if (!host::MakeDraft(objectName, sizeof(shared_sync::MutexRecord), host::MapAs::OncePerProcess,
                         draft)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    auto& mutex = *static_cast<shared_sync::MutexRecord*>(draft.base);
    shared_sync::InitMutex(mutex);
    if (initialOwner != 0) {
        (void)shared_sync::Lock(mutex, std::nullopt);  // nobody else sees it yet: taken at once
    }
    if (!host::PublishDraft(draft, objectName)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    return new host::SharedMutexObject(claim, draft.base);
}

std::uint32_t RTAPI RtWaitForSingleObject(RtHandle object, std::uint32_t milliseconds) {
    host::RequireNoOpenSection("a thread waited");
    auto* hostObject = static_cast<host::HostObject*>(object);
    if (auto* semaphore = dynamic_cast<host::SemaphoreObject*>(hostObject)) {
        return host::WaitSemaphore(*semaphore, milliseconds);
    }
    if (auto* mutex = dynamic_cast<host::SharedMutexObject*>(hostObject)) {
        return host::WaitMutex(mutex->Get(), milliseconds);
    }
    SetLastError(RtError::InvalidHandle);
    return RtValue::WaitFailed;
}

RtBool RTAPI RtReleaseSemaphore(RtHandle semaphoreHandle, std::int32_t releaseCount,
                                std::int32_t* previousCount) {
    host::RequireNoOpenSection("a semaphore was released");
    auto* semaphore =
        dynamic_cast<host::SemaphoreObject*>(static_cast<host::HostObject*>(semaphoreHandle));
    if (semaphore == nullptr) {
        SetLastError(RtError::InvalidHandle);
        return false;
    }
    if (releaseCount < 1) {
        SetLastError(RtError::InvalidParameter);
        return false;
    }
    // One step against every process that holds the semaphore, clients included.
    std::uint32_t previous = 0;
    if (!shared_sync::Release(semaphore->Get(), static_cast<std::uint32_t>(releaseCount),
                              &previous)) {
        SetLastError(RtError::TooManyPosts);
        return false;
    }
    if (previousCount != nullptr) {
        *previousCount = static_cast<std::int32_t>(previous);
    }
    return true;
}
