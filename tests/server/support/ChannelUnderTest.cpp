#include "tests/server/support/ChannelUnderTest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/host/PosixNames.h"

namespace servertest {

ChannelUnderTest::ChannelUnderTest(const std::string& name, RequestHandler handler,
                                   std::uint32_t dataAreaSize)
    : channel_(CreateDeviceChannel(name.c_str(), handler, 0, ServicePriority, dataAreaSize)),
      serving_(channel_ != nullptr) {
    if (channel_ == nullptr) {
        return;
    }
    // A mapping of its own, as a client in another process has: what the service thread does in
    // the driver's mapping is ordered for ThreadSanitizer through the semaphores only, not through
    // the other processes that may have used the device in between.
    blockSize_ = dataAreaSize + RequestBlockOverhead;
    const int fd = shm_open(posix_names::ObjectName(name + SharedMemorySuffix).c_str(), O_RDWR, 0);
    void* mapping = mmap(nullptr, blockSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapping == MAP_FAILED) {
        throw std::runtime_error("cannot map the block of " + name);
    }
    clientBlock_ = static_cast<RequestBlock*>(mapping);
}

ChannelUnderTest::~ChannelUnderTest() {
    if (channel_ == nullptr) {
        return;
    }
    // The service thread must be gone before its channel is freed.
    if (serving_) {
        Call(ChannelStop);
    }
    RtCloseHandle(channel_->serviceThread);
    RtCloseHandle(channel_->channelMutex);
    RtCloseHandle(channel_->replySemaphore);
    RtCloseHandle(channel_->requestSemaphore);
    RtFreeLockedMemory(const_cast<char*>(channel_->view.deviceName));
    RtCloseHandle(channel_->sharedMemory);
    RtFreeLockedMemory(channel_);
    munmap(clientBlock_, blockSize_);
}

bool ChannelUnderTest::Call(std::uint32_t requestCode, std::uint32_t timeoutMilliseconds) {
    Request().requestCode = requestCode;
    if (!RtReleaseSemaphore(channel_->requestSemaphore, 1, nullptr)) {
        return false;
    }
    const bool answered = RtWaitForSingleObject(channel_->replySemaphore, timeoutMilliseconds) ==
                          RtValue::WaitObject0;
    if (requestCode == ChannelStop && answered) {
        serving_ = false;
    }
    return answered;
}

}  // namespace servertest
