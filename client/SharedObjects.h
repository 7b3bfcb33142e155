// The platform objects through which a client reaches a device, each opened by its platform name
// ("\RtDevice\Quelta\Serial0.sm") and released when its owner goes: the shared memory object with
// the request block, the two semaphores and the mutex. The driver creates them; a client only
// opens them. client/posix/ implements this over the host backend's POSIX objects, client/rtss/
// over the platform's own open operations on the target.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quelta {

using Clock = std::chrono::steady_clock;

// A shared memory object mapped read-write in full.
class SharedMapping {
public:
    SharedMapping() = default;
    // Throws NoSuchDevice when the object does not exist, AccessDenied, or SystemError.
    // minimumSize: an object known to be smaller than this is not one of ours (ProtocolError).
    SharedMapping(const std::string& name, std::size_t minimumSize);
    SharedMapping(SharedMapping&& other) noexcept;
    SharedMapping& operator=(SharedMapping&& other) noexcept;
    ~SharedMapping();

    void* Address() const { return address_; }
    // The object's size, or 0 where the platform does not tell it.
    std::size_t Size() const { return size_; }

private:
    void Release();
    void* address_ = nullptr;
    std::size_t size_ = 0;
    void* handle_ = nullptr;  // the platform's handle of the object, where it gives one
};

enum class TakeResult { WhilePolling, AfterSleeping, TimedOut };

class NamedSemaphore {
public:
    NamedSemaphore() = default;
    explicit NamedSemaphore(const std::string& name);
    NamedSemaphore(NamedSemaphore&& other) noexcept;
    NamedSemaphore& operator=(NamedSemaphore&& other) noexcept;
    ~NamedSemaphore();

    void Post();
    // Releases one count unless one stands already (false then), and never throws: a waker that
    // finds the count there has nothing left to do.
    bool TryPost();
    // Takes a count if one is there, without waiting.
    bool TryTake();
    // Polls for up to pollFor (a waiting peer on the other core answers in about a microsecond,
    // while a sleep and wake-up costs tens of them), then sleeps until the deadline.
    TakeResult Take(Clock::duration pollFor, Clock::time_point deadline);

private:
    SharedMapping mapping_;      // on the host, the object that holds the semaphore
    void* semaphore_ = nullptr;  // on the host its record, on the target the platform's semaphore
};

enum class LockResult { Locked, OwnerDied, TimedOut };

// The device mutex, recursive. A client that died holding it hands it on with OwnerDied instead
// of blocking.
class DeviceMutex {
public:
    DeviceMutex() = default;
    explicit DeviceMutex(const std::string& name);
    DeviceMutex(DeviceMutex&& other) noexcept;
    DeviceMutex& operator=(DeviceMutex&& other) noexcept;
    ~DeviceMutex();

    LockResult Lock(Clock::time_point deadline);
    void Unlock();

private:
    SharedMapping mapping_;   // on the host, the object that holds the mutex's record
    void* handle_ = nullptr;  // on the host its record, on the target the platform's mutex
};

// The full names of the devices whose shared memory objects exist, in no particular order.
std::vector<std::string> FindDeviceObjects();

// Whether the process that created an object still serves it, for a client that sleeps on it and
// would never be woken by a driver that ended. Taken when the client opened the object.
class CreatorWatch {
public:
    CreatorWatch() = default;
    // objectName: a platform name such as "\RtDevice\Quelta\Serial0.ev".
    explicit CreatorWatch(const std::string& objectName);
    // True once the name is gone (an orderly end), names another object (a new driver made its
    // own) or its creator has died. Never on the target, where nothing of this can be told.
    bool CreatorEnded() const;

private:
    std::string name_;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
};

// The owners of the event block's waiter slots: a client marks the slots it claims with this
// process's ID, and takes over a slot whose owner has ended. On the target a client cannot tell
// that another one has ended: a slot left by a client that died is free again when the driver
// restarts.
std::uint32_t ThisProcessId();
bool ProcessEnded(std::uint32_t processId);

}  // namespace quelta
