// A stand-in for the driver's side of the named devices: it creates the POSIX objects as the host
// backend does (shared memory of data area + 44 bytes, two named semaphores, the mutex object) and
// answers requests on a thread per device from a small model of each port, so the client library
// can be tested without the driver. Port state is reached through WithPort under a lock.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port/PortRecord.h"
#include "server/RequestBlock.h"

namespace fake {

struct PortModel {
    std::deque<std::uint8_t> received;  // bytes waiting for SerialRead
    std::vector<std::uint8_t> sent;     // bytes taken by SerialWrite
    std::size_t sendRoom = 1 << 20;     // bytes SerialWrite still takes
    std::uint8_t msr = 0, lsr = 0x60, mcr = 0, lineErrors = 0;
    bool breakOn = false;
    LineConfig config{};
    std::vector<std::uint32_t> requests;  // every request code served for this port
    int opens = 0;
    int wiredTo = -1;           // port whose receive side gets what this one sends (a wire)
    std::uint8_t wireFlips = 0; // bits the wire flips in every byte
};

// How a device's service thread treats requests.
enum class Service {
    Answer,          // serve them
    TakeNoAnswer,    // take each request and never answer (until ReleaseHeldReplies)
};

struct DeviceSetup {
    std::string shortName;       // "Serial0"
    int portIndex;               // what SerialOpen writes; -1: the name matches no port
    bool serviceThread = true;   // false: requests are never taken
};

class FakeDriver {
public:
    // Ports 0 .. portCount-1 exist; each device answers SerialOpen with its portIndex.
    FakeDriver(std::vector<DeviceSetup> devices, int portCount);
    // Serial0 .. SerialN-1 on ports 0 .. N-1.
    explicit FakeDriver(int portCount = 2);
    ~FakeDriver();
    FakeDriver(const FakeDriver&) = delete;
    FakeDriver& operator=(const FakeDriver&) = delete;

    void WithPort(int portIndex, const std::function<void(PortModel&)>& work);
    void SetService(Service service);
    // Answers the requests held by TakeNoAnswer (a late reply) with this status.
    void ReleaseHeldReplies();
    // Every request answers with this status instead of serving it (0: serve normally).
    void ForceStatus(std::uint32_t status);
    // SerialRead, SerialWrite and the status reads report this count instead of the true one
    // (0xFFFFFFFF: the true one).
    void ForceResultCount(std::uint32_t count);
    // Called with the request part before each request is served, under the model lock.
    void InspectRequests(std::function<void(const RequestPart&, const std::uint8_t* data)> check);

    RequestBlock* Block(int device) { return devices_[device].block; }

private:
    struct Device {
        DeviceSetup setup;
        std::string fullName;
        RequestBlock* block = nullptr;
        sem_t* requestSemaphore = nullptr;
        sem_t* replySemaphore = nullptr;
        void* mutexObject = nullptr;
        std::thread thread;
    };

    void Create(Device& device);
    void Destroy(Device& device);
    void Serve(Device& device);
    std::uint32_t Dispatch(Device& device);

    std::vector<Device> devices_;
    std::vector<PortModel> ports_;
    std::mutex lock_;
    Service service_ = Service::Answer;
    int heldReplies_ = 0;
    std::vector<sem_t*> heldSemaphores_;
    std::uint32_t forcedStatus_ = 0;
    std::uint32_t forcedCount_ = 0xFFFFFFFF;
    std::function<void(const RequestPart&, const std::uint8_t*)> inspector_;
    std::atomic<bool> stopping_{false};
};

// The smallest baud rate the fake takes: a 14.7456 MHz clock's divisor fits 15 bits from here.
constexpr std::int32_t FakeMinimumBaud = 29;

}  // namespace fake
