// A device channel made for one test and taken apart at its end (the driver itself never destroys
// one), with the client's side of an exchange played through the driver's own handles.
#pragma once

#include <cstdint>
#include <string>

#include "server/DeviceChannel.h"

namespace servertest {

constexpr std::int32_t ServicePriority = 121;

class ChannelUnderTest {
public:
    // Check Get() for null: creation may fail, with the last-error code set.
    ChannelUnderTest(const std::string& name, RequestHandler handler,
                     std::uint32_t dataAreaSize = DefaultDataAreaSize);
    ~ChannelUnderTest();
    ChannelUnderTest(const ChannelUnderTest&) = delete;
    ChannelUnderTest& operator=(const ChannelUnderTest&) = delete;

    DeviceChannel* Get() const { return channel_; }
    DeviceChannel* operator->() const { return channel_; }
    RequestPart& Request() const { return channel_->block->request; }

    // Writes the code, releases the request semaphore and waits for the reply.
    bool Call(std::uint32_t requestCode, std::uint32_t timeoutMilliseconds = 5000);
    // After a ChannelStop the service thread is gone: teardown sends none.
    void ServiceEnded() { serving_ = false; }

private:
    DeviceChannel* channel_;
    bool serving_;
};

}  // namespace servertest
