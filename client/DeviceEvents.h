// A device's events as a client waits on them (wire/EventBlock.h): the waits of the library sleep
// until the driver says that what they wait for may have come, instead of asking again and again.
//
// Each wait holds a waiter slot of the device's event block for as long as it lasts: one of the
// slots this client has claimed before and keeps for later waits, or one it claims now. So the
// waits of several threads of one client (a reader and a writer) each have their own. Without a
// slot (a driver without events, or all eight slots taken by other clients) a wait polls the
// driver with a back-off.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/SharedObjects.h"
#include "wire/EventBlock.h"

namespace quelta {

class EventWait;

class DeviceEvents {
public:
    // fullName: "\RtDevice\Quelta\Serial0". Opened after the device's objects; without event
    // objects that this library can read, Available() is false and every wait polls.
    // driverCheck: the longest a wait sleeps before it looks whether the driver still runs.
    DeviceEvents(const std::string& fullName, Clock::duration driverCheck);
    ~DeviceEvents();  // gives back the slots it claimed
    DeviceEvents(const DeviceEvents&) = delete;
    DeviceEvents& operator=(const DeviceEvents&) = delete;

    bool Available() const { return block_ != nullptr; }
    // Ends every wait in progress at once; when none is, the next one that has to wait.
    void CancelWaits();

    struct Slot;

private:
    friend class EventWait;
    Slot* Acquire();              // null when no slot is free
    Slot* AcquireWatch();         // the one slot of WaitEvents, kept between its calls
    Slot* Claim();                // a slot of the block made this client's; under lock_
    void GiveBack(Slot* slot);    // back to this client's own, for its next wait
    void Begin(EventWait* wait);  // in progress: a cancel reaches it
    void End(EventWait* wait);
    bool TakeCancelNext();  // a cancel that came while no wait was in progress
    // Throws NotAnswering when the driver behind the objects has ended.
    void CheckDriver() const;

    std::string name_;
    Clock::duration driverCheck_;
    SharedMapping mapping_;
    EventBlock* block_ = nullptr;
    CreatorWatch creator_;
    std::mutex lock_;                           // guards what follows
    std::vector<std::unique_ptr<Slot>> owned_;  // every slot claimed
    std::vector<Slot*> idle_;                   // those no wait holds now
    Slot* watch_ = nullptr;
    std::vector<EventWait*> waits_;  // in progress
    bool cancelNext_ = false;
    std::mutex watchTurn_;  // one WaitEvents at a time
};

// One wait of the library, with the slot it holds.
class EventWait {
public:
    // Since::Now: what happened before is forgotten (the caller looks at its condition after
    // this). Since::LastWatch: WaitEvents' own slot, with what happened since its last call.
    enum class Since { Now, LastWatch };
    EventWait(DeviceEvents& events, std::uint32_t wanted, Since since = Since::Now);
    ~EventWait();
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;

    bool Evented() const { return slot_ != nullptr; }
    // Waits until one of the mask's events has happened since the last look and returns those
    // (the caller then looks at what it waits for); 0 at the deadline or once cancelled. Without
    // a slot: one back-off step of polling, then the whole mask (look again), unless the deadline
    // had passed. Throws NotAnswering when the driver ends meanwhile.
    std::uint32_t Wait(std::uint32_t mask, Clock::time_point deadline);
    bool Cancelled() const { return cancelled_.load(); }
    // The MSR the driver last read, with the change bits gathered since the last take.
    std::uint8_t TakeModemStatus();
    // The LSR error bits gathered since the last take.
    std::uint8_t TakeLineErrors();

private:
    friend class DeviceEvents;
    void Cancel();  // under the events' lock
    void Look();
    // False when the deadline passed asleep; true when woken, or to look again after a check of
    // the driver.
    bool SleepOnSlot(Clock::time_point deadline);
    std::uint32_t Poll(std::uint32_t mask, Clock::time_point deadline);

    DeviceEvents& events_;
    std::unique_lock<std::mutex> watchTurn_;  // held by a WaitEvents for as long as it waits
    DeviceEvents::Slot* slot_ = nullptr;
    std::uint32_t seen_ = 0;  // events taken from the slot and not yet returned
    bool waited_ = false;     // Wait has been called
    std::atomic<bool> cancelled_{false};
    std::chrono::microseconds pollInterval_;
};

}  // namespace quelta
