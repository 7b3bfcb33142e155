// Named shared memory, semaphores and mutexes on POSIX objects, under the names that
// platform/host/PosixNames.h gives them. Each handle owns its mapping or semaphore; closing the
// handle of an object this process created also removes the name (platform/host/NameClaims.h).
#include "platform/host/NamedObjects.h"

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostObject.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NameClaims.h"
#include "platform/host/PosixNames.h"

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

class SemaphoreObject final : public NamedObject {
public:
    SemaphoreObject(NameClaim* claim, sem_t* semaphore, std::int32_t maximum)
        : NamedObject(claim), semaphore_(semaphore), maximum_(maximum) {}
    ~SemaphoreObject() override { sem_close(semaphore_); }
    sem_t* Semaphore() const { return semaphore_; }
    std::int32_t Maximum() const { return maximum_; }

private:
    sem_t* semaphore_;
    std::int32_t maximum_;
};

class SharedMutexObject final : public NamedObject {
public:
    SharedMutexObject(NameClaim* claim, posix_names::MutexObject* shared)
        : NamedObject(claim), shared_(shared) {}
    ~SharedMutexObject() override { munmap(shared_, sizeof *shared_); }
    pthread_mutex_t* Mutex() const { return &shared_->mutex; }

private:
    posix_names::MutexObject* shared_;
};

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
// (a mutex already initialised, the full size).
struct Draft {
    std::string name;
    void* base = MAP_FAILED;
    std::size_t size = 0;
};

bool MakeDraft(const std::string& objectName, std::size_t size, Draft& draft) {
    draft.name = DraftName(objectName);
    draft.size = size;
    const int fd =
        shm_open(draft.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, ObjectMode());
    if (fd < 0) {
        return false;
    }
    // fchmod, unlike the creation mode, does not pass through the umask.
    bool made = fchmod(fd, ObjectMode()) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (made) {
        draft.base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
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
        munmap(draft.base, draft.size);
        errno = reason;
    }
    return linked;
}

void DiscardDraft(const Draft& draft) {
    munmap(draft.base, draft.size);
    shm_unlink(draft.name.c_str());
}

bool InitialiseSharedMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    const int failed = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return failed == 0;
}

RtHandle Fail(std::uint32_t code, NameClaim* claim = nullptr) {
    ReleaseName(claim);
    SetLastError(code);
    return nullptr;
}

timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

std::int64_t MicrosecondsSince(const timespec& start) {
    const timespec now = MonotonicNow();
    return (now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000;
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// sem_timedwait measures against CLOCK_REALTIME.
timespec RealtimeDeadline(std::int64_t microseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(microseconds / 1000000);
    deadline.tv_nsec += static_cast<long>((microseconds % 1000000) * 1000);
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
    }
    return deadline;
}

// Polls first: a peer that answers within the polling window is caught without a wake-up, which
// would cost far more than the exchange itself. Then sleeps, so that an idle waiter burns nothing.
std::uint32_t WaitSemaphore(sem_t* semaphore, std::uint32_t milliseconds) {
    if (sem_trywait(semaphore) == 0) {
        return RtValue::WaitObject0;
    }
    if (milliseconds == 0) {
        return RtValue::WaitTimeout;
    }
    const timespec start = MonotonicNow();
    const std::int64_t limit =
        milliseconds == RtValue::Infinite ? -1 : static_cast<std::int64_t>(milliseconds) * 1000;
    while (MicrosecondsSince(start) < PollBeforeSleepMicroseconds) {
        for (int i = 0; i < 16; ++i) {
            CpuRelax();
        }
        if (sem_trywait(semaphore) == 0) {
            return RtValue::WaitObject0;
        }
    }
    for (;;) {
        int waited = 0;
        if (limit < 0) {
            waited = sem_wait(semaphore);
        } else {
            const std::int64_t left = limit - MicrosecondsSince(start);
            if (left <= 0) {
                return sem_trywait(semaphore) == 0 ? RtValue::WaitObject0 : RtValue::WaitTimeout;
            }
            const timespec deadline = RealtimeDeadline(left);
            waited = sem_timedwait(semaphore, &deadline);
        }
        if (waited == 0) {
            return RtValue::WaitObject0;
        }
        if (errno == ETIMEDOUT) {
            return RtValue::WaitTimeout;
        }
        if (errno != EINTR) {
            SetLastError(RtError::InvalidHandle);
            return RtValue::WaitFailed;
        }
    }
}

std::uint32_t WaitMutex(pthread_mutex_t* mutex, std::uint32_t milliseconds) {
    int locked = 0;
    if (milliseconds == RtValue::Infinite) {
        locked = pthread_mutex_lock(mutex);
    } else {
        const timespec deadline = RealtimeDeadline(static_cast<std::int64_t>(milliseconds) * 1000);
        locked = pthread_mutex_timedlock(mutex, &deadline);
    }
    if (locked == 0) {
        return RtValue::WaitObject0;
    }
    if (locked == EOWNERDEAD) {
        // The owner died holding it: this thread owns it now, and the next one must not be told
        // again.
        pthread_mutex_consistent(mutex);
        return RtValue::WaitAbandoned;
    }
    if (locked == ETIMEDOUT) {
        return RtValue::WaitTimeout;
    }
    SetLastError(RtError::InvalidHandle);
    return RtValue::WaitFailed;
}

// The check against the maximum and the release are one step for the threads of this process.
std::mutex releaseLock;

// sem_post knows no maximum, so another process can post a named semaphore past it, where the
// platform would have refused the release; a client that releases the request semaphore twice
// would have its one request served twice. Whatever stands above maximum - 1 after a take is such
// a surplus and is dropped, so that the count never exceeds what the platform allows.
void DropSurplus(const SemaphoreObject& semaphore) {
    int value = 0;
    while (sem_getvalue(semaphore.Semaphore(), &value) == 0 && value > semaphore.Maximum() - 1 &&
           sem_trywait(semaphore.Semaphore()) == 0) {}
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
    host::NameClaim* claim = host::ClaimName(objectName, host::ObjectKind::SharedMemory);
    if (claim == nullptr) {
        return host::Fail(host::ErrorFor(errno));
    }
    host::Draft draft;
    if (!host::MakeDraft(objectName, maximumSizeLow, draft) ||
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
    host::NameClaim* claim = host::ClaimName(objectName, host::ObjectKind::Semaphore);
    if (claim == nullptr) {
        return host::Fail(host::ErrorFor(errno));
    }
    sem_t* semaphore = sem_open(objectName.c_str(), O_CREAT | O_EXCL, host::ObjectMode(),
                                static_cast<unsigned>(initialCount));
    if (semaphore == SEM_FAILED) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    // The creation mode passed through the umask; the intended mode is set outright.
    (void)chmod(host::SemaphorePath(objectName).c_str(), host::ObjectMode());
    return new host::SemaphoreObject(claim, semaphore, maximumCount);
}

RtHandle RTAPI RtCreateMutexA(void* /*security*/, RtBool initialOwner, const char* name) {
    if (host::ShouldFail(host::Fault::Mutex)) {
        return host::Fail(RtError::NotEnoughMemory);
    }
    if (name == nullptr) {
        return host::Fail(RtError::InvalidParameter);
    }
    const std::string objectName = posix_names::ObjectName(name);
    host::NameClaim* claim = host::ClaimName(objectName, host::ObjectKind::SharedMemory);
    if (claim == nullptr) {
        return host::Fail(host::ErrorFor(errno));
    }
    host::Draft draft;
    if (!host::MakeDraft(objectName, sizeof(posix_names::MutexObject), draft)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    auto* shared = static_cast<posix_names::MutexObject*>(draft.base);
    if (!host::InitialiseSharedMutex(&shared->mutex)) {
        host::DiscardDraft(draft);
        return host::Fail(RtError::NotEnoughMemory, claim);
    }
    if (initialOwner != 0) {
        pthread_mutex_lock(&shared->mutex);
    }
    if (!host::PublishDraft(draft, objectName)) {
        return host::Fail(host::ErrorFor(errno), claim);
    }
    return new host::SharedMutexObject(claim, shared);
}

std::uint32_t RTAPI RtWaitForSingleObject(RtHandle object, std::uint32_t milliseconds) {
    host::RequireNoOpenSection("a thread waited");
    auto* hostObject = static_cast<host::HostObject*>(object);
    if (auto* semaphore = dynamic_cast<host::SemaphoreObject*>(hostObject)) {
        const std::uint32_t result = host::WaitSemaphore(semaphore->Semaphore(), milliseconds);
        if (result == RtValue::WaitObject0) {
            host::DropSurplus(*semaphore);
        }
        return result;
    }
    if (auto* mutex = dynamic_cast<host::SharedMutexObject*>(hostObject)) {
        return host::WaitMutex(mutex->Mutex(), milliseconds);
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
    const std::lock_guard guard(host::releaseLock);
    int value = 0;
    sem_getvalue(semaphore->Semaphore(), &value);
    // Another process may release the same semaphore between the check and the post; this
    // process's threads cannot.
    if (value > semaphore->Maximum() - releaseCount) {
        SetLastError(RtError::TooManyPosts);
        return false;
    }
    for (std::int32_t i = 0; i < releaseCount; ++i) {
        sem_post(semaphore->Semaphore());
    }
    if (previousCount != nullptr) {
        *previousCount = value;
    }
    return true;
}
