#include "tests/server/support/ChannelUnderTest.h"

namespace servertest {

ChannelUnderTest::ChannelUnderTest(const std::string& name, RequestHandler handler,
                                   std::uint32_t dataAreaSize)
    : channel_(CreateDeviceChannel(name.c_str(), handler, 0, ServicePriority, dataAreaSize)),
      serving_(channel_ != nullptr) {}

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
