// One device's request channel as a client sees it: the request block, the request and reply
// semaphores and the device mutex, and the exchange of one request for its reply.
//
// Every exchange runs inside a Session, which holds the device mutex so that the clients of a
// device take turns with the one block. Each reply wait has a time limit. A request the driver
// never took is withdrawn on time-out, so nothing of it remains; a request it took but did not
// answer may still be answered later, and that late reply would be taken for the next one, so the
// channel then refuses every further request (open the device again). The next session of any
// client first discards such a late reply.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/SharedObjects.h"
#include "wire/RequestBlock.h"

namespace quelta {

struct Reply {
    std::uint32_t status;
    std::uint32_t resultCount;
};

class RequestChannel {
public:
    // fullName: "\RtDevice\Quelta\Serial0". Opens the four objects and checks the block.
    RequestChannel(const std::string& fullName, Clock::duration replyTimeout,
                   Clock::duration replyPoll);

    class Session {
    public:
        explicit Session(RequestChannel& channel);
        ~Session();
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        RequestPart& Part() { return channel_.block_->request; }
        std::uint8_t* Data() { return DataArea(channel_.block_); }
        // Writes the code, the length and the channel's port index, releases the request
        // semaphore and waits for the reply. Throws NotAnswering on time-out.
        Reply Exchange(std::uint32_t requestCode, std::uint32_t dataLength);

    private:
        RequestChannel& channel_;
    };

    const std::string& Name() const { return name_; }
    std::uint32_t DataAreaSize() const { return dataAreaSize_; }
    Clock::duration ReplyTimeout() const { return replyTimeout_; }

    // The port every request acts on; written into the block before each request, so a block
    // scribbled by another client cannot turn this client's requests onto another port.
    void SetPortIndex(std::uint8_t portIndex) {
        portIndex_ = portIndex;
        portKnown_ = true;
    }
    std::uint8_t PortIndex() const { return portIndex_; }

    // True once a request was taken by the driver but not answered in time.
    bool Unusable() const { return unusable_.load(std::memory_order_relaxed); }

private:
    void TakeOver(LockResult lock);
    Clock::duration NextPoll();
    void LearnFrom(TakeResult result);

    std::string name_;
    Clock::duration replyTimeout_;
    Clock::duration replyPoll_;
    // The poll window in use: the full replyPoll_ while replies come within it, halved after
    // each reply that needed a sleep. On a busy machine the driver's thread may wait for the very
    // core this client spins on, so polling that never pays only delays the reply.
    std::atomic<Clock::rep> pollWindow_;
    std::atomic<std::uint32_t> requestCount_{0};
    SharedMapping blockMapping_;
    RequestBlock* block_ = nullptr;
    std::uint32_t dataAreaSize_ =
        0;  // read once at open: another client could change the block's copy
    NamedSemaphore requestSemaphore_;
    NamedSemaphore replySemaphore_;
    DeviceMutex mutex_;
    std::uint8_t portIndex_ = 0;
    bool portKnown_ = false;
    std::atomic<bool> unusable_{false};
};

}  // namespace quelta
