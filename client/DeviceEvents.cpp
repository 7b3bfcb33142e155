#include "client/DeviceEvents.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "client/Error.h"
#include "wire/StatusBytes.h"

namespace quelta {

struct DeviceEvents::Slot {
    std::uint32_t index;
    EventSlot* shared;
    NamedSemaphore semaphore;
};

namespace {

// The polling of a wait without events: soon after the first look, backing off to the longest.
constexpr std::chrono::microseconds MinPollInterval{50};
constexpr std::chrono::microseconds MaxPollInterval{1000};

// A slot as a new owner takes it: whatever the previous one wanted, armed or left unread is gone.
// A count it left on the semaphore is drained before the first sleep.
void Reset(EventSlot& slot) {
    EventWord(slot.wanted).store(0);
    EventWord(slot.armed).store(0);
    EventWord(slot.pending).store(0);
    EventWord(slot.modemChanges).store(0);
    EventWord(slot.lineErrors).store(0);
}

}  // namespace

DeviceEvents::DeviceEvents(const std::string& fullName, Clock::duration driverCheck)
    : name_(fullName), driverCheck_(driverCheck) {
    const std::string objectName = fullName + EventBlockSuffix;
    try {
        creator_ = CreatorWatch(objectName);
        mapping_ = SharedMapping(objectName, sizeof(EventBlock));
    } catch (const Error&) {
        return;  // an older driver, or one that could not make them: the waits poll
    }
    auto* block = static_cast<EventBlock*>(mapping_.Address());
    if (EventWord(block->layout).load() == EventBlockLayout &&
        EventWord(block->slotCount).load() == EventWaiterSlots) {
        block_ = block;
    }
}

DeviceEvents::~DeviceEvents() {
    const std::uint32_t me = ThisProcessId();
    for (const auto& slot : owned_) {
        EventWord(slot->shared->wanted).store(0);
        EventWord(slot->shared->armed).store(0);
        std::uint32_t owner = me;
        EventWord(slot->shared->owner).compare_exchange_strong(owner, 0);
    }
}

DeviceEvents::Slot* DeviceEvents::Claim() {
    const std::uint32_t me = ThisProcessId();
    for (std::uint32_t index = 0; index < EventWaiterSlots; ++index) {
        EventSlot& shared = block_->slots[index];
        auto owner = EventWord(shared.owner);
        std::uint32_t seen = owner.load();
        // Of the owners that have ended, only one taker gets the slot: the exchange expects the
        // owner it judged.
        const bool takeable = seen == 0 || (seen != me && ProcessEnded(seen));
        if (!takeable || !owner.compare_exchange_strong(seen, me)) {
            continue;
        }
        Reset(shared);
        std::string semaphoreName = name_ + WaiterSemaphoreSuffix;
        semaphoreName.back() = static_cast<char>('0' + index);
        try {
            owned_.push_back(
                std::make_unique<Slot>(Slot{index, &shared, NamedSemaphore(semaphoreName)}));
        } catch (const Error&) {
            owner.store(0);
            return nullptr;  // the semaphores are not there: no slot of this block is usable
        }
        return owned_.back().get();
    }
    return nullptr;
}

DeviceEvents::Slot* DeviceEvents::Acquire() {
    if (block_ == nullptr) {
        return nullptr;
    }
    const std::lock_guard guard(lock_);
    if (idle_.empty()) {
        return Claim();
    }
    Slot* slot = idle_.back();
    idle_.pop_back();
    return slot;
}

DeviceEvents::Slot* DeviceEvents::AcquireWatch() {
    if (block_ == nullptr) {
        return nullptr;
    }
    const std::lock_guard guard(lock_);
    if (watch_ == nullptr) {
        watch_ = Claim();
    }
    return watch_;
}

void DeviceEvents::GiveBack(Slot* slot) {
    const std::lock_guard guard(lock_);
    idle_.push_back(slot);
}

void DeviceEvents::Begin(EventWait* wait) {
    const std::lock_guard guard(lock_);
    waits_.push_back(wait);
}

bool DeviceEvents::TakeCancelNext() {
    const std::lock_guard guard(lock_);
    return std::exchange(cancelNext_, false);
}

void DeviceEvents::End(EventWait* wait) {
    const std::lock_guard guard(lock_);
    std::erase(waits_, wait);
}

// A cancel that comes while no wait is in progress (as pyserial's cancel_read may, just before
// its read starts waiting) is kept for the next one that has to wait.
void DeviceEvents::CancelWaits() {
    const std::lock_guard guard(lock_);
    if (waits_.empty()) {
        cancelNext_ = true;
    }
    for (EventWait* wait : waits_) {
        wait->Cancel();
    }
}

void DeviceEvents::CheckDriver() const {
    if (creator_.CreatorEnded()) {
        throw Error(ErrorCode::NotAnswering,
                    name_ + ": the driver ended while this client waited; open the device again");
    }
}

EventWait::EventWait(DeviceEvents& events, std::uint32_t wanted, Since since)
    : events_(events), pollInterval_(MinPollInterval) {
    if (since == Since::LastWatch) {
        watchTurn_ = std::unique_lock(events_.watchTurn_);
        slot_ = events_.AcquireWatch();
    } else {
        slot_ = events_.Acquire();
    }
    if (slot_ != nullptr) {
        EventSlot& shared = *slot_->shared;
        // From here on what is wanted gathers in pending; the caller looks at its condition after.
        EventWord(shared.wanted).store(wanted);
        if (since == Since::Now) {
            EventWord(shared.pending).store(0);
            EventWord(shared.modemChanges).store(0);
            EventWord(shared.lineErrors).store(0);
        } else {
            // The watch keeps what happened since its last call, but not a cancel of that call.
            EventWord(shared.pending).fetch_and(~PortEvent::Cancelled);
        }
    }
    events_.Begin(this);
}

EventWait::~EventWait() {
    events_.End(this);
    if (slot_ != nullptr && !watchTurn_.owns_lock()) {
        EventWord(slot_->shared->wanted).store(0);
        events_.GiveBack(slot_);
    }
}

void EventWait::Cancel() {
    cancelled_.store(true);
    if (slot_ == nullptr) {
        return;  // a poll notices within its interval
    }
    EventWord(slot_->shared->pending).fetch_or(PortEvent::Cancelled);
    if (EventWord(slot_->shared->armed).exchange(0) != 0) {
        (void)slot_->semaphore.TryPost();
    }
}

void EventWait::Look() {
    const std::uint32_t taken = EventWord(slot_->shared->pending).exchange(0);
    if ((taken & PortEvent::Cancelled) != 0) {
        cancelled_.store(true);
    }
    seen_ |= taken & ~PortEvent::Cancelled;
}

std::uint32_t EventWait::Wait(std::uint32_t mask, Clock::time_point deadline) {
    if (!std::exchange(waited_, true) && events_.TakeCancelNext()) {
        cancelled_.store(true);
    }
    if (slot_ == nullptr) {
        return Poll(mask, deadline);
    }
    auto armed = EventWord(slot_->shared->armed);
    for (;;) {
        Look();
        if ((seen_ & mask) != 0 || Cancelled() || Clock::now() >= deadline) {
            break;
        }
        // A count left by a release that raced with an earlier disarm would end the sleep at once.
        while (slot_->semaphore.TryTake()) {}
        armed.store(1);
        // An event between the first look and the arming shows here; one after it finds the slot
        // armed and releases the semaphore.
        Look();
        if ((seen_ & mask) != 0 || Cancelled()) {
            armed.store(0);
            break;
        }
        if (!SleepOnSlot(deadline)) {
            break;  // what came at the last moment waits for the next look
        }
    }
    const std::uint32_t happened = Cancelled() ? 0 : seen_ & mask;
    seen_ &= ~happened;
    return happened;
}

bool EventWait::SleepOnSlot(Clock::time_point deadline) {
    const Clock::time_point sliceEnd = std::min(deadline, Clock::now() + events_.driverCheck_);
    const bool woken =
        slot_->semaphore.Take(Clock::duration::zero(), sliceEnd) != TakeResult::TimedOut;
    // Whoever woke the slot disarmed it; after a time-out this wait does, and a release that
    // raced with it is a stale count that the next sleep drains first.
    EventWord(slot_->shared->armed).store(0);
    if (woken) {
        return true;
    }
    if (sliceEnd < deadline) {
        events_.CheckDriver();
        return true;
    }
    return false;
}

std::uint32_t EventWait::Poll(std::uint32_t mask, Clock::time_point deadline) {
    const Clock::time_point now = Clock::now();
    if (Cancelled() || now >= deadline) {
        return 0;
    }
    std::this_thread::sleep_until(std::min(now + pollInterval_, deadline));
    pollInterval_ = std::min(pollInterval_ * 2, MaxPollInterval);
    return Cancelled() ? 0 : mask;
}

std::uint8_t EventWait::TakeModemStatus() {
    if (slot_ == nullptr) {
        return 0;
    }
    const std::uint32_t changes = EventWord(slot_->shared->modemChanges).exchange(0);
    const std::uint32_t status = EventWord(slot_->shared->modemStatus).load();
    return static_cast<std::uint8_t>((status & ~std::uint32_t{Msr::ChangeMask}) |
                                     (changes & Msr::ChangeMask));
}

std::uint8_t EventWait::TakeLineErrors() {
    if (slot_ == nullptr) {
        return 0;
    }
    return static_cast<std::uint8_t>(EventWord(slot_->shared->lineErrors).exchange(0) &
                                     Lsr::ErrorMask);
}

}  // namespace quelta
