#include "tests/server/support/RawClient.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <stdexcept>

namespace servertest {
namespace {

void* MapObject(const std::string& platformName, std::uint32_t* size) {
    const std::string name = posix_names::ObjectName(platformName);
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + name);
    }
    struct stat status {};
    fstat(fd, &status);
    *size = static_cast<std::uint32_t>(status.st_size);
    void* base = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) {
        throw std::runtime_error("cannot map " + name);
    }
    return base;
}

sem_t* OpenSemaphore(const std::string& platformName) {
    sem_t* semaphore = sem_open(posix_names::ObjectName(platformName).c_str(), 0);
    if (semaphore == SEM_FAILED) {
        throw std::runtime_error("cannot open semaphore " + platformName);
    }
    return semaphore;
}

}  // namespace

RawClient::RawClient(const std::string& deviceName) {
    block_ = static_cast<RequestBlock*>(MapObject(deviceName + SharedMemorySuffix, &blockSize_));
    std::uint32_t mutexSize = 0;
    mutex_ = static_cast<posix_names::MutexObject*>(MapObject(deviceName, &mutexSize));
    request_ = OpenSemaphore(deviceName + RequestSemaphoreSuffix);
    reply_ = OpenSemaphore(deviceName + ReplySemaphoreSuffix);
}

RawClient::~RawClient() {
    munmap(block_, blockSize_);
    munmap(mutex_, sizeof *mutex_);
    sem_close(request_);
    sem_close(reply_);
}

bool RawClient::Lock() {
    const int locked = pthread_mutex_lock(&mutex_->mutex);
    if (locked == EOWNERDEAD) {
        pthread_mutex_consistent(&mutex_->mutex);
        return true;
    }
    if (locked != 0) {
        throw std::runtime_error("device mutex unusable");
    }
    return false;
}

void RawClient::Unlock() { pthread_mutex_unlock(&mutex_->mutex); }

void RawClient::Send() { sem_post(request_); }

bool RawClient::WaitReply(int timeoutMilliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMilliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMilliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
    }
    while (sem_timedwait(reply_, &deadline) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool RawClient::Call(std::uint32_t requestCode, int timeoutMilliseconds) {
    Request().requestCode = requestCode;
    Send();
    return WaitReply(timeoutMilliseconds);
}

}  // namespace servertest
