#include "client/RequestChannel.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quelta {
namespace {

// Every this many requests one polls the full window again, to notice when polling pays again.
constexpr std::uint32_t PollProbeInterval = 64;

// After a client died holding the mutex, how long to wait for the reply to a request it may have
// left with the driver. The driver answers in microseconds; this only covers a busy machine.
constexpr std::chrono::milliseconds DeadClientGrace{50};

// While a reply is late, how often a client that waits for it looks whether the driver still runs
// and whether its caller still wants to wait (Ctrl-C): only during a stall, so often is cheap.
constexpr std::chrono::milliseconds StallLook{100};

// The block's late mark: this byte first, then three of the token of the client that gave up.
constexpr std::uint8_t LateMarkTag = 'Q';

bool MarkedLate(const RequestPart& part) { return part.lateMark[0] == LateMarkTag; }

std::uint32_t LateToken(const RequestPart& part) {
    return std::uint32_t{part.lateMark[1]} | std::uint32_t{part.lateMark[2]} << 8 |
           std::uint32_t{part.lateMark[3]} << 16;
}

std::string Milliseconds(Clock::duration duration) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
           " ms";
}

}  // namespace

RequestChannel::RequestChannel(const std::string& fullName, Clock::duration replyTimeout,
                               Clock::duration replyPoll, LateReplies late)
    : name_(fullName),
      replyTimeout_(replyTimeout),
      replyPoll_(replyPoll),
      pollWindow_(replyPoll.count()),
      late_(std::move(late)),
      creator_(fullName + SharedMemorySuffix) {
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
    const LockResult lock = channel_.Lock();
    try {
        channel_.TakeOver(lock);
    } catch (...) {
        channel_.mutex_.Unlock();
        throw;
    }
}

RequestChannel::Session::~Session() { channel_.mutex_.Unlock(); }

// Another client holds the device for as long as the driver keeps it waiting: a stall too.
LockResult RequestChannel::Lock() {
    LockResult lock = mutex_.Lock(Clock::now() + replyTimeout_);
    if (lock == LockResult::TimedOut && !WaitOut([&](Clock::time_point until) {
            lock = mutex_.Lock(until);
            return lock != LockResult::TimedOut;
        })) {
        throw Error(ErrorCode::DeviceBusy,
                    name_ + ": another client held the device for " + Milliseconds(replyTimeout_));
    }
    return lock;
}

void RequestChannel::TakeOver(LockResult lock) {
    if (lock == LockResult::OwnerDied) {
        // The dead client may have left a request. If the driver has not taken it yet, take it
        // back; otherwise give the driver a moment to answer it so the answer is not ours.
        if (!requestSemaphore_.TryTake()) {
            (void)replySemaphore_.Take(Clock::duration::zero(), Clock::now() + DeadClientGrace);
        }
    }
    if (MarkedLate(block_->request)) {
        CollectLateReply();
    }
    owed_.reset();  // collected now, or by another client before
    // A reply that arrived after its client gave up waiting would otherwise answer this request.
    while (replySemaphore_.TryTake()) {}
}

// The reply a client gave up on, before anything of this session's request is written: a read's
// bytes are in the data area now, and this channel keeps them if the request was its own.
void RequestChannel::CollectLateReply() {
    const auto arrived = [this](Clock::time_point until) { return ReplyCame(until); };
    if (!arrived(Clock::now() + replyTimeout_) && !WaitOut(arrived)) {
        throw Error(ErrorCode::NotAnswering,
                    name_ +
                        ": the driver has still not answered a request it took earlier (none "
                        "is sent before it has); is quelta-driver stopped?");
    }
    RequestPart& part = block_->request;
    if (owed_ && owed_->token == LateToken(part) && part.status == RequestDone &&
        part.resultCount <= owed_->dataLength) {
        if (owed_->requestCode == SerialRead) {
            const std::uint8_t* data = DataArea(block_);
            lateBytes_.insert(lateBytes_.end(), data, data + part.resultCount);
        } else if (owed_->requestCode == SerialWrite) {
            lateWriteCount_ = lateWriteCount_.value_or(0) + part.resultCount;
        }
    }
    std::memset(part.lateMark, 0, sizeof part.lateMark);
}

bool RequestChannel::ReplyCame(Clock::time_point until) {
    return replySemaphore_.Take(Clock::duration::zero(), until) != TakeResult::TimedOut;
}

bool RequestChannel::WaitOut(const std::function<bool(Clock::time_point)>& arrived) {
    if (!late_.wait) {
        return false;
    }
    const auto tell = [&](Stall stall) { return !late_.tell || late_.tell(stall); };
    for (bool began = false;; began = true) {
        if (creator_.CreatorEnded()) {
            (void)requestSemaphore_.TryTake();  // a request of this client's, if one stands
            throw Error(ErrorCode::NoSuchDevice,
                        name_ + ": the driver has ended while this client waited for it");
        }
        if (!tell(began ? Stall::Continues : Stall::Began)) {
            return false;
        }
        if (arrived(Clock::now() + std::min<Clock::duration>(late_.driverCheck, StallLook))) {
            (void)tell(Stall::Ended);
            return true;
        }
    }
}

[[noreturn]] void RequestChannel::GiveUp(std::uint32_t requestCode, std::uint32_t dataLength) {
    if (requestSemaphore_.TryTake()) {
        // The driver never took the request: withdrawn, nothing of it remains.
        throw Error(ErrorCode::NotAnswering,
                    name_ + ": driver not answering (request not taken within " +
                        Milliseconds(replyTimeout_) + "; is quelta-driver running?)");
    }
    // The token tells this client's late reply from one another client gave up on later.
    const std::uint32_t token = (ThisProcessId() * 2654435761U + ++giveUps_) & 0xFFFFFFU;
    RequestPart& part = block_->request;
    part.lateMark[0] = LateMarkTag;
    part.lateMark[1] = static_cast<std::uint8_t>(token);
    part.lateMark[2] = static_cast<std::uint8_t>(token >> 8);
    part.lateMark[3] = static_cast<std::uint8_t>(token >> 16);
    owed_ = Owed{requestCode, dataLength, token};
    throw Error(ErrorCode::NotAnswering,
                name_ + ": driver took the request but did not answer within " +
                    Milliseconds(replyTimeout_) + " (the next request collects its reply)");
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
    if (result == TakeResult::TimedOut &&
        !channel_.WaitOut([this](Clock::time_point until) { return channel_.ReplyCame(until); })) {
        channel_.GiveUp(requestCode, dataLength);
    }
    return Reply{part.status, part.resultCount};
}

std::size_t RequestChannel::Session::TakeLateBytes(std::span<std::uint8_t> into) {
    std::vector<std::uint8_t>& late = channel_.lateBytes_;
    const std::size_t count = std::min(into.size(), late.size());
    std::copy_n(late.begin(), count, into.begin());
    late.erase(late.begin(), late.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::optional<std::uint32_t> RequestChannel::Session::TakeLateWriteCount() {
    return std::exchange(channel_.lateWriteCount_, std::nullopt);
}

}  // namespace quelta
