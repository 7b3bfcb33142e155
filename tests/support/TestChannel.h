// A real device channel made for one test and taken apart at its end (the driver itself never
// destroys one), with the client's side of an exchange played from this process through a
// mapping of its own, as any client has. Its handler is DispatchRequest, scripted as a test
// needs: a forced status or count, a request taken and held unanswered, an inspector.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "server/DeviceChannel.h"

namespace testsupport {

struct DispatchScript {
    std::optional<std::uint32_t> status;       // answered instead of serving the request
    std::optional<std::uint32_t> resultCount;  // written over what the request left
    bool hold = false;                         // take each request, answer none until Release
    std::function<void(const RequestPart&, const std::uint8_t* data)> inspect;  // before serving
};

// Replaces the script of every channel that uses ScriptedDispatch; {} serves plainly.
void Script(DispatchScript script);
// Answers the requests held so far (their replies come late) and stops holding.
void ReleaseHeld();
std::uint32_t ScriptedDispatch(RequestPart* request, const ChannelView* channel);

// Stops the channel's service thread (unless it already ended) and releases all it holds: what the
// driver never does, for channels a test made.
void DestroyChannel(DeviceChannel* channel, bool serving = true);
// The same for a port's event objects (port/PortEvents.h).
void DestroyPortEvents(std::uint8_t portIndex);

class TestChannel {
public:
    // Check Get() for null: creation may fail, with the last-error code set.
    explicit TestChannel(const std::string& name, RequestHandler handler = ScriptedDispatch,
                         std::uint32_t dataAreaSize = DefaultDataAreaSize);
    ~TestChannel();
    TestChannel(const TestChannel&) = delete;
    TestChannel& operator=(const TestChannel&) = delete;

    DeviceChannel* Get() const { return channel_; }
    RequestPart& Request() const { return clientBlock_->request; }
    std::uint8_t* Data() const { return DataArea(clientBlock_); }

    // Writes the code, releases the request semaphore and waits for the reply.
    bool Call(std::uint32_t requestCode, std::uint32_t timeoutMilliseconds = 5000);

private:
    DeviceChannel* channel_;
    bool serving_;
    RequestBlock* clientBlock_ = nullptr;
    std::uint32_t blockSize_ = 0;
};

}  // namespace testsupport
