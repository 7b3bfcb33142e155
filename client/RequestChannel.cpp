#include "client/RequestChannel.h"

#include "client/Error.h"

namespace quelta {
namespace {

// Every this many requests one polls the full window again, to notice when polling pays again.
constexpr std::uint32_t PollProbeInterval = 64;

// After a client died holding the mutex, how long to wait for the reply to a request it may have
// left with the driver. The driver answers in microseconds; this only covers a busy machine.
constexpr std::chrono::milliseconds DeadClientGrace{50};

std::string Milliseconds(Clock::duration duration) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
           " ms";
}

}  // namespace

RequestChannel::RequestChannel(const std::string& fullName, Clock::duration replyTimeout,
                               Clock::duration replyPoll)
    : name_(fullName),
      replyTimeout_(replyTimeout),
      replyPoll_(replyPoll),
      pollWindow_(replyPoll.count()) {
    blockMapping_ = SharedMapping(fullName + SharedMemorySuffix, RequestBlockOverhead);
    block_ = static_cast<RequestBlock*>(blockMapping_.Address());
    dataAreaSize_ = block_->dataAreaSize;
    if (dataAreaSize_ < sizeof(std::uint32_t) * 4 ||
        (blockMapping_.Size() != 0 &&
         blockMapping_.Size() != std::size_t{dataAreaSize_} + RequestBlockOverhead)) {
        throw Error(ErrorCode::ProtocolError,
                    fullName + ": the request block's size (" +
                        std::to_string(blockMapping_.Size()) + " bytes, data area " +
                        std::to_string(dataAreaSize_) +
                        ") does not fit; the driver may still be starting");
    }
    requestSemaphore_ = NamedSemaphore(fullName + RequestSemaphoreSuffix);
    replySemaphore_ = NamedSemaphore(fullName + ReplySemaphoreSuffix);
    mutex_ = DeviceMutex(fullName);
}

RequestChannel::Session::Session(RequestChannel& channel) : channel_(channel) {
    if (channel_.Unusable()) {
        throw Error(
            ErrorCode::NotAnswering,
            channel_.name_ + ": an earlier request was never answered; open the device again");
    }
    const LockResult lock = channel_.mutex_.Lock(Clock::now() + channel_.replyTimeout_);
    if (lock == LockResult::TimedOut) {
        throw Error(ErrorCode::DeviceBusy, channel_.name_ +
                                               ": another client held the device for " +
                                               Milliseconds(channel_.replyTimeout_));
    }
    try {
        channel_.TakeOver(lock);
    } catch (...) {
        channel_.mutex_.Unlock();
        throw;
    }
}

RequestChannel::Session::~Session() { channel_.mutex_.Unlock(); }

void RequestChannel::TakeOver(LockResult lock) {
    if (lock == LockResult::OwnerDied) {
        // The dead client may have left a request. If the driver has not taken it yet, take it
        // back; otherwise give the driver a moment to answer it so the answer is not ours.
        if (!requestSemaphore_.TryTake()) {
            (void)replySemaphore_.Take(Clock::duration::zero(), Clock::now() + DeadClientGrace);
        }
    }
    // A reply that arrived after its client gave up waiting would otherwise answer this request.
    while (replySemaphore_.TryTake()) {}
}

Clock::duration RequestChannel::NextPoll() {
    if (requestCount_.fetch_add(1, std::memory_order_relaxed) % PollProbeInterval == 0) {
        return replyPoll_;
    }
    return Clock::duration(pollWindow_.load(std::memory_order_relaxed));
}

void RequestChannel::LearnFrom(TakeResult result) {
    if (result == TakeResult::WhilePolling) {
        pollWindow_.store(replyPoll_.count(), std::memory_order_relaxed);
    } else if (result == TakeResult::AfterSleeping) {
        pollWindow_.store(pollWindow_.load(std::memory_order_relaxed) / 2,
                          std::memory_order_relaxed);
    }
}

Reply RequestChannel::Session::Exchange(std::uint32_t requestCode, std::uint32_t dataLength) {
    RequestPart& part = Part();
    part.requestCode = requestCode;
    part.dataLength = dataLength;
    if (channel_.portKnown_) {
        part.portIndex = channel_.portIndex_;
    }
    channel_.requestSemaphore_.Post();
    const TakeResult result =
        channel_.replySemaphore_.Take(channel_.NextPoll(), Clock::now() + channel_.replyTimeout_);
    channel_.LearnFrom(result);
    if (result == TakeResult::TimedOut) {
        if (channel_.requestSemaphore_.TryTake()) {
            // The driver never took the request: withdrawn, nothing of it remains.
            throw Error(ErrorCode::NotAnswering,
                        channel_.name_ + ": driver not answering (request not taken within " +
                            Milliseconds(channel_.replyTimeout_) + "; is quelta-driver running?)");
        }
        channel_.unusable_.store(true, std::memory_order_relaxed);
        throw Error(ErrorCode::NotAnswering,
                    channel_.name_ + ": driver took the request but did not answer within " +
                        Milliseconds(channel_.replyTimeout_));
    }
    return Reply{part.status, part.resultCount};
}

}  // namespace quelta
