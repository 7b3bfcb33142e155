#include "tests/client/FakeDriver.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/host/PosixNames.h"

namespace fake {
namespace {

void Check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

constexpr std::size_t BlockSize = DefaultDataAreaSize + RequestBlockOverhead;

}  // namespace

FakeDriver::FakeDriver(std::vector<DeviceSetup> devices, int portCount) : ports_(portCount) {
    devices_.resize(devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        devices_[i].setup = devices[i];
        devices_[i].fullName = "\\RtDevice\\Quelta\\" + devices[i].shortName;
        Create(devices_[i]);
    }
    for (Device& device : devices_) {
        if (device.setup.serviceThread) {
            device.thread = std::thread([this, &device] { Serve(device); });
        }
    }
}

static std::vector<DeviceSetup> NumberedDevices(int count) {
    std::vector<DeviceSetup> devices;
    for (int i = 0; i < count; ++i) devices.push_back({"Serial" + std::to_string(i), i, true});
    return devices;
}

FakeDriver::FakeDriver(int portCount) : FakeDriver(NumberedDevices(portCount), portCount) {}

FakeDriver::~FakeDriver() {
    stopping_ = true;
    for (Device& device : devices_) {
        if (device.thread.joinable()) {
            sem_post(device.requestSemaphore);
            device.thread.join();
        }
    }
    for (Device& device : devices_) Destroy(device);
}

void FakeDriver::Create(Device& device) {
    const std::string sm = posix_names::ObjectName(device.fullName + SharedMemorySuffix);
    int descriptor = shm_open(sm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    Check(descriptor >= 0, "shm_open " + sm);
    Check(ftruncate(descriptor, BlockSize) == 0, "ftruncate");
    void* address = mmap(nullptr, BlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    close(descriptor);
    Check(address != MAP_FAILED, "mmap");
    device.block = static_cast<RequestBlock*>(address);
    device.block->dataAreaSize = DefaultDataAreaSize;
    device.block->request.nameLength = static_cast<std::uint8_t>(device.fullName.size());

    const std::string s1 = posix_names::ObjectName(device.fullName + RequestSemaphoreSuffix);
    const std::string s2 = posix_names::ObjectName(device.fullName + ReplySemaphoreSuffix);
    device.requestSemaphore = sem_open(s1.c_str(), O_CREAT | O_EXCL, 0600, 0);
    Check(device.requestSemaphore != SEM_FAILED, "sem_open " + s1);
    device.replySemaphore = sem_open(s2.c_str(), O_CREAT | O_EXCL, 0600, 0);
    Check(device.replySemaphore != SEM_FAILED, "sem_open " + s2);

    const std::string mutexName = posix_names::ObjectName(device.fullName);
    descriptor = shm_open(mutexName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    Check(descriptor >= 0, "shm_open " + mutexName);
    Check(ftruncate(descriptor, sizeof(posix_names::MutexObject)) == 0, "ftruncate");
    address = mmap(nullptr, sizeof(posix_names::MutexObject), PROT_READ | PROT_WRITE, MAP_SHARED,
                   descriptor, 0);
    close(descriptor);
    Check(address != MAP_FAILED, "mmap");
    device.mutexObject = address;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&static_cast<posix_names::MutexObject*>(address)->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void FakeDriver::Destroy(Device& device) {
    munmap(device.block, BlockSize);
    munmap(device.mutexObject, sizeof(posix_names::MutexObject));
    sem_close(device.requestSemaphore);
    sem_close(device.replySemaphore);
    shm_unlink(posix_names::ObjectName(device.fullName + SharedMemorySuffix).c_str());
    shm_unlink(posix_names::ObjectName(device.fullName).c_str());
    sem_unlink(posix_names::ObjectName(device.fullName + RequestSemaphoreSuffix).c_str());
    sem_unlink(posix_names::ObjectName(device.fullName + ReplySemaphoreSuffix).c_str());
}

void FakeDriver::WithPort(int portIndex, const std::function<void(PortModel&)>& work) {
    std::lock_guard guard(lock_);
    work(ports_.at(portIndex));
}

void FakeDriver::SetService(Service service) {
    std::lock_guard guard(lock_);
    service_ = service;
}

void FakeDriver::ReleaseHeldReplies() {
    std::lock_guard guard(lock_);
    for (sem_t* semaphore : heldSemaphores_) sem_post(semaphore);
    heldSemaphores_.clear();
}

void FakeDriver::ForceStatus(std::uint32_t status) {
    std::lock_guard guard(lock_);
    forcedStatus_ = status;
}

void FakeDriver::ForceResultCount(std::uint32_t count) {
    std::lock_guard guard(lock_);
    forcedCount_ = count;
}

void FakeDriver::InspectRequests(
    std::function<void(const RequestPart&, const std::uint8_t* data)> check) {
    std::lock_guard guard(lock_);
    inspector_ = std::move(check);
}

void FakeDriver::Serve(Device& device) {
    while (true) {
        while (sem_wait(device.requestSemaphore) != 0 && errno == EINTR) {
        }
        if (stopping_) return;
        std::unique_lock guard(lock_);
        if (device.block->request.requestCode == ChannelStop) {
            sem_post(device.replySemaphore);
            return;
        }
        if (service_ == Service::TakeNoAnswer) {
            heldSemaphores_.push_back(device.replySemaphore);
            continue;
        }
        device.block->request.status = Dispatch(device);
        sem_post(device.replySemaphore);
    }
}

// The request table of the driver, over the port models. Called under lock_.
std::uint32_t FakeDriver::Dispatch(Device& device) {
    RequestPart& part = device.block->request;
    std::uint8_t* data = DataArea(device.block);
    if (inspector_) inspector_(part, data);
    if (forcedStatus_ != 0) return forcedStatus_;
    const std::uint32_t code = part.requestCode;
    if (code == SerialOpen) {
        if (device.setup.portIndex >= 0) {
            part.portIndex = static_cast<std::uint8_t>(device.setup.portIndex);
            if (part.portIndex < ports_.size()) {
                PortModel& port = ports_[part.portIndex];
                port.received.clear();
                port.config.baudRate = 9600;
                ++port.opens;
                port.requests.push_back(code);
            }
        }
        return RequestDone;
    }
    if (code == 0 || code == 5 || code > SerialGetRxCount) return RequestNotImplemented;
    if (part.portIndex >= ports_.size()) return RequestInvalidPort;
    PortModel& port = ports_[part.portIndex];
    port.requests.push_back(code);
    const auto count = [&](std::uint32_t trueCount) {
        part.resultCount = forcedCount_ != 0xFFFFFFFF ? forcedCount_ : trueCount;
    };
    switch (code) {
        case SerialRead: {
            const std::uint32_t length = std::min(part.dataLength, DefaultDataAreaSize);
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(length, port.received.size()));
            std::copy_n(port.received.begin(), n, data);
            port.received.erase(port.received.begin(), port.received.begin() + n);
            count(n);
            break;
        }
        case SerialWrite: {
            const auto n = static_cast<std::uint32_t>(
                std::min<std::size_t>(std::min(part.dataLength, DefaultDataAreaSize), port.sendRoom));
            port.sent.insert(port.sent.end(), data, data + n);
            port.sendRoom -= n;
            if (port.wiredTo >= 0) {
                for (std::uint32_t i = 0; i < n; ++i) {
                    ports_.at(port.wiredTo).received.push_back(data[i] ^ port.wireFlips);
                }
            }
            count(n);
            break;
        }
        case SerialSetConfig: {
            std::memcpy(&port.config, data, sizeof(LineConfig));
            const LineConfig& c = port.config;
            const bool stopOk = c.stopBits == 1 || (c.stopBits == 2 && c.dataBits != 5) ||
                                (c.stopBits == 3 && c.dataBits == 5);
            const bool ok = c.baudRate >= FakeMinimumBaud && c.dataBits >= 5 && c.dataBits <= 8 &&
                            std::strchr("noems", c.parity) != nullptr && c.parity != 0 && stopOk;
            part.resultCount = ok ? 1 : 0;
            break;
        }
        case SerialSetRts: port.mcr |= 0x02; break;
        case SerialClearRts: port.mcr &= 0xFD; break;
        case SerialSetDtr: port.mcr |= 0x01; break;
        case SerialClearDtr: port.mcr &= 0xFE; break;
        case SerialSetBreak: port.breakOn = true; break;
        case SerialClearBreak: port.breakOn = false; break;
        case SerialClose: port.received.clear(); port.mcr &= 0xFC; break;
        case SerialGetModemStatus: data[0] = port.msr; count(1); port.msr &= 0xF0; break;
        case SerialGetLineStatus: data[0] = port.lsr; count(1); port.lsr &= 0x61; break;
        case SerialGetModemControl: data[0] = port.mcr & 0x03; count(1); break;
        case SerialGetLineErrors: data[0] = port.lineErrors; count(1); break;
        case SerialGetRxCount: {
            const auto waiting = static_cast<std::uint32_t>(port.received.size());
            for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(waiting >> (8 * i));
            count(4);
            break;
        }
        default: break;
    }
    return RequestDone;
}

}  // namespace fake
