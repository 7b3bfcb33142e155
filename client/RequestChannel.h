// One device's request channel as a client sees it: the request block, the request and reply
// semaphores and the device mutex, and the exchange of one request for its reply.
//
// Every exchange runs inside a Session, which holds the device mutex so that the clients of a
// device take turns with the one block. Each reply wait has a time limit. A request the driver
// never took is withdrawn on time-out, so nothing of it remains. One it took but did not answer
// (the driver stopped, or starved of the processor) is a stall: its reply still comes, with the
// bytes it moved. A client that waits for late replies (LateReplies::wait) keeps waiting for it,
// as long as the driver runs. One that gives up marks the block: the next session of any client
// collects that reply before it sends anything, so it is never taken for another request's,
// and the client that gave up keeps what it brought (a read's bytes, a write's count).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/Error.h"
#include "client/SharedObjects.h"
#include "wire/RequestBlock.h"

namespace quelta {

struct Reply {
    std::uint32_t status;
    std::uint32_t resultCount;
};

// What a request does once its reply limit has passed with the driver holding it.
struct LateReplies {
    bool wait = false;  // wait on for the reply while the driver runs; false: give up
    StallReport tell;   // told of the stall while waiting; may stop the wait
    Clock::duration driverCheck = std::chrono::seconds(1);  // the longest between two looks
};

class RequestChannel {
public:
    // fullName: "\RtDevice\Quelta\Serial0". Opens the four objects and checks the block.
    RequestChannel(const std::string& fullName, Clock::duration replyTimeout,
                   Clock::duration replyPoll, LateReplies late = {});

    class Session {
    public:
        explicit Session(RequestChannel& channel);
        ~Session();
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        RequestPart& Part() { return channel_.block_->request; }
        std::uint8_t* Data() { return DataArea(channel_.block_); }
        // Writes the code, the length and the channel's port index, releases the request
        // semaphore and waits for the reply. Throws NotAnswering when it gives up on the reply,
        // NoSuchDevice when the driver ends while it waits for a late one.
        Reply Exchange(std::uint32_t requestCode, std::uint32_t dataLength);

        // What this channel gave up waiting for and a session has collected since: the bytes of
        // a late read (taken from the front), the count of a late write (taken once).
        std::size_t TakeLateBytes(std::span<std::uint8_t> into);
        std::optional<std::uint32_t> TakeLateWriteCount();

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

private:
    LockResult Lock();
    void TakeOver(LockResult lock);
    // After the reply limit: with late replies waited for, tries `arrived` (given how long) again
    // and again, telling of the stall, until it is true. False when giving up. Throws
    // NoSuchDevice once the driver has ended.
    bool WaitOut(const std::function<bool(Clock::time_point)>& arrived);
    bool ReplyCame(Clock::time_point until);
    [[noreturn]] void GiveUp(std::uint32_t requestCode, std::uint32_t dataLength);
    void CollectLateReply();
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
    LateReplies late_;
    CreatorWatch creator_;
    // The request this channel gave up on, until a session collects its reply: its code, its
    // length and the mark it left in the block. Under the device mutex, as what follows.
    struct Owed {
        std::uint32_t requestCode;
        std::uint32_t dataLength;
        std::uint32_t token;
    };
    std::optional<Owed> owed_;
    std::uint32_t giveUps_ = 0;
    std::vector<std::uint8_t> lateBytes_;
    std::optional<std::uint32_t> lateWriteCount_;
};

}  // namespace quelta
