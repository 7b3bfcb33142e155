// A device channel made for one test and taken apart at its end (the driver itself never destroys
// one), with the client's side of an exchange played from this process: through a mapping of the
// block of its own, as any client has, and the driver's own semaphore handles.
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
    // The block as a client sees it, through its own mapping.
    RequestPart& Request() const { return clientBlock_->request; }
    std::uint8_t* Data() const { return DataArea(clientBlock_); }

    // Writes the code, releases the request semaphore and waits for the reply.
    bool Call(std::uint32_t requestCode, std::uint32_t timeoutMilliseconds = 5000);
    // After a ChannelStop the service thread is gone: teardown sends none.
    void ServiceEnded() { serving_ = false; }

private:
    DeviceChannel* channel_;
    bool serving_;
    RequestBlock* clientBlock_ = nullptr;
    std::uint32_t blockSize_ = 0;
};

}  // namespace servertest
