// The POSIX objects through which a client reaches a device, each opened by name and released
// when its owner goes: the shared memory object with the request block, the two semaphores and
// the mutex object. The driver creates them; a client only opens them.
#pragma once

#include <semaphore.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace quelta {

using Clock = std::chrono::steady_clock;

// A shared memory object mapped read-write in full.
class SharedMapping {
public:
    SharedMapping() = default;
    // Throws NoSuchDevice when the object does not exist, AccessDenied, or SystemError.
    // minimumSize: an object smaller than this is not one of ours (ProtocolError).
    SharedMapping(const std::string& posixName, std::size_t minimumSize);
    SharedMapping(SharedMapping&& other) noexcept;
    SharedMapping& operator=(SharedMapping&& other) noexcept;
    ~SharedMapping();

    void* Address() const { return address_; }
    std::size_t Size() const { return size_; }

private:
    void* address_ = nullptr;
    std::size_t size_ = 0;
};

enum class TakeResult { WhilePolling, AfterSleeping, TimedOut };

class NamedSemaphore {
public:
    NamedSemaphore() = default;
    explicit NamedSemaphore(const std::string& posixName);
    NamedSemaphore(NamedSemaphore&& other) noexcept;
    NamedSemaphore& operator=(NamedSemaphore&& other) noexcept;
    ~NamedSemaphore();

    void Post();
    // Takes a count if one is there, without waiting.
    bool TryTake();
    // Polls for up to pollFor (a waiting peer on the other core answers in about a microsecond,
    // while a sleep and wake-up costs tens of them), then sleeps until the deadline.
    TakeResult Take(Clock::duration pollFor, Clock::time_point deadline);

private:
    sem_t* semaphore_ = nullptr;
};

enum class LockResult { Locked, OwnerDied, TimedOut };

// The device mutex: a process-shared, robust, recursive pthread mutex at offset 0 of a shared
// memory object. A client that died holding it hands it on with OwnerDied instead of blocking.
class DeviceMutex {
public:
    DeviceMutex() = default;
    explicit DeviceMutex(const std::string& posixName);

    LockResult Lock(Clock::time_point deadline);
    void Unlock();

private:
    SharedMapping mapping_;
};

}  // namespace quelta
