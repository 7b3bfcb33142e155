// Interrupt attachment on the simulated machine. A line is (bus, Interrupt Line); it is
// level-sensitive and asserted while any board on it has a non-zero IntSummary. Its service
// thread runs the attached routines under the CPU lock, again and again while the line stays
// asserted; with shared attachments each pre-check is asked first. In paced time the service
// thread also keeps its boards' time: it sleeps until the earliest moment a board needs looking
// at, brings the boards to it and serves what fell due, so that an interrupt costs one wake-up
// of one thread however many events it gathers. A line that stays asserted because no routine
// serves its board does not spin the thread: it waits for a board to change.
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostObject.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/RealTime.h"
#include "platform/host/SharedSync.h"

namespace host {
namespace {

// Passes DeliverInterrupts makes at most per line, so a line held by an unserved board ends.
constexpr std::uint32_t ManualPassLimit = 10000;
// The most a service thread polls before a planned look instead of sleeping, and the step in
// which it learns how early to wake.
constexpr shared_sync::Clock::duration MaxEarlyWake = std::chrono::microseconds(100);
constexpr shared_sync::Clock::duration EarlyWakeStep = std::chrono::nanoseconds(500);

// One of the two routine kinds: the plain attachment's returns nothing, the shareable one's a
// BOOLEAN that the platform does not look at either.
struct Routine {
    std::uint64_t id;
    RtInterruptRoutine plain;
    RtInterruptRoutineEx shareable;
    void* context;
    RtInterruptPrecheck precheck;  // asked first on a shared attachment, when given
    bool shared;
};

class Line final : public sim::InterruptSink {
public:
    Line(std::uint32_t bus, std::uint32_t level, std::vector<sim::Board*> boards,
         const sim::Clock& clock, bool threaded, std::int32_t priority)
        : bus_(bus), level_(level), boards_(std::move(boards)), clock_(clock) {
        for (sim::Board* board : boards_) {
            board->SetInterruptSink(this, threaded);
        }
        if (threaded) {
            thread_ = std::thread([this, priority] {
                ApplyRealTimePriority(pthread_self(), priority);
                Serve();
            });
        }
    }

    ~Line() {
        for (sim::Board* board : boards_) {
            board->SetInterruptSink(nullptr);
        }
        stopping_.store(true);
        Ring();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool Is(std::uint32_t bus, std::uint32_t level) const { return bus == bus_ && level == level_; }

    void SummaryChanged() override { Ring(); }
    void WakeEarlier() override { Ring(); }

    // An exclusive attachment takes a line alone; shared ones share it with shared ones.
    bool Accepts(bool shared) {
        const std::lock_guard guard(lock_);
        return routines_->empty() ||
               (shared && std::all_of(routines_->begin(), routines_->end(),
                                      [](const Routine& r) { return r.shared; }));
    }

    void Add(const Routine& routine) {
        {
            const std::lock_guard guard(lock_);
            auto routines = std::make_shared<std::vector<Routine>>(*routines_);
            routines->push_back(routine);
            routines_ = std::move(routines);
        }
        Ring();  // the line may be asserted already
    }

    void Remove(std::uint64_t id) {
        const std::lock_guard guard(lock_);
        auto routines = std::make_shared<std::vector<Routine>>(*routines_);
        std::erase_if(*routines, [id](const Routine& r) { return r.id == id; });
        routines_ = std::move(routines);
    }

    std::uint32_t DeliverManually() {
        std::uint32_t passes = 0;
        while (passes < ManualPassLimit) {
            const std::uint32_t before = Rings();
            if (!Asserted()) {
                break;
            }
            RunPass(Routines());
            ++passes;
            if (Rings() == before) {
                break;  // nothing moved: the routines do not serve what holds the line
            }
        }
        return passes;
    }

private:
    bool Asserted() const {
        return std::any_of(boards_.begin(), boards_.end(),
                           [](const sim::Board* board) { return board->LineAsserted(); });
    }

    std::shared_ptr<const std::vector<Routine>> Routines() {
        const std::lock_guard guard(lock_);
        return routines_;
    }

    std::uint32_t Rings() { return shared_sync::Word(bell_).load(); }

    // An atomic increment while the service thread is awake (its own accesses ring all through a
    // pass); a wake-up only while it sleeps.
    void Ring() {
        shared_sync::Word(bell_).fetch_add(1);
        if (sleeping_.load()) {
            shared_sync::FutexWakeAll(bell_);
        }
    }

    // One interrupt: every pre-check asked, every claimed routine run, all under the CPU lock.
    static void RunPass(const std::shared_ptr<const std::vector<Routine>>& routines) {
        EnterInterruptContext();
        for (const Routine& r : *routines) {
            if (r.shared && r.precheck != nullptr) {
                const std::int32_t answer = r.precheck(r.context);
                RequireNoOpenSection("a shared-interrupt pre-check returned");
                if (answer != RtValue::PrecheckRunService) {
                    continue;
                }
            }
            if (r.plain != nullptr) {
                r.plain(r.context);
            } else {
                r.shareable(r.context);
            }
            RequireNoOpenSection("an interrupt service routine returned");
        }
        LeaveInterruptContext();
    }

    // Brings every board whose time this line keeps to the present where it planned to be looked
    // at (which raises the line when an interrupt falls due); returns the earliest planned time.
    sim::SimTime KeepTime() {
        sim::SimTime next = sim::Never;
        const sim::SimTime now = clock_.Now();
        for (sim::Board* board : boards_) {
            if (board->TimeKeptBySink()) {
                const sim::SimTime planned = board->PlannedWake();
                next = std::min(next, planned <= now ? board->Advance(now) : planned);
            }
        }
        return next;
    }

    // The service thread keeps its boards' time and serves the line until it drops, so that an
    // interrupt that falls due wakes this thread alone, once for whatever is due by then.
    void Serve() {
        prctl(PR_SET_TIMERSLACK, 1UL);  // wake on time: the FIFO fills on while this thread sleeps
        while (!stopping_.load()) {
            const std::uint32_t seen = Rings();
            const sim::SimTime next = KeepTime();
            if (Asserted()) {
                const auto routines = Routines();
                if (!routines->empty()) {
                    RunPass(routines);
                    if (Rings() != seen) {
                        continue;  // the pass, or the boards meanwhile, changed something
                    }
                }
            }
            // Nothing to serve, or a line held by what no routine serves: wait for the next
            // planned look or a ring.
            if (next == sim::Never) {
                Sleep(seen, std::nullopt);
            } else {
                WaitUntil(seen, clock_.WallTimeOf(next));
            }
        }
    }

    // A sleeping thread's timer fires tens of microseconds late (a virtual machine's more), and
    // the FIFO fills on meanwhile. So the thread asks to wake as much earlier as nine in ten of
    // its timed wakes come late (a running estimate of that quantile: up nine steps after a
    // wake later than it, down one after each other) and polls the rest of the way: the wake-up
    // comes on time at the cost of some microseconds of polling.
    void WaitUntil(std::uint32_t seen, shared_sync::Clock::time_point deadline) {
        const shared_sync::Clock::time_point wake = deadline - early_;
        if (shared_sync::Clock::now() < wake) {
            Sleep(seen, wake);
            if (Rings() != seen) {
                return;
            }
            early_ = shared_sync::Clock::now() - wake > early_
                         ? std::min(MaxEarlyWake, early_ + 9 * EarlyWakeStep)
                         : std::max(shared_sync::Clock::duration{}, early_ - EarlyWakeStep);
        }
        while (Rings() == seen && shared_sync::Clock::now() < deadline) {
            shared_sync::CpuRelax();
        }
    }

    void Sleep(std::uint32_t seen, std::optional<shared_sync::Clock::time_point> until) {
        sleeping_.store(true);
        if (Rings() == seen && !stopping_.load()) {
            (void)shared_sync::FutexWait(bell_, seen, until);
        }
        sleeping_.store(false);
    }

    std::uint32_t bus_;
    std::uint32_t level_;
    std::vector<sim::Board*> boards_;
    const sim::Clock& clock_;
    std::mutex lock_;
    // Replaced whole on attach and detach, so that a pass runs on a copy it holds.
    std::shared_ptr<const std::vector<Routine>> routines_ =
        std::make_shared<const std::vector<Routine>>();
    std::uint32_t bell_ = 0;  // rings: summary changes, earlier wakes, attachments, the stop
    std::atomic<bool> sleeping_{false};
    std::atomic<bool> stopping_{false};
    shared_sync::Clock::duration early_{};  // how much earlier than planned a timed wake is asked
    std::thread thread_;
};

// The handle the attach operations return. Closing it detaches the routine.
class Attachment final : public HostObject {
public:
    Attachment(Line* line, std::uint64_t id) : line_(line), id_(id) {}
    ~Attachment() override;

    Line* GetLine() const { return line_; }

private:
    Line* line_;
    std::uint64_t id_;
};

struct Registry {
    std::mutex lock;
    std::vector<std::unique_ptr<Line>> lines;
    std::vector<Attachment*> attachments;
    std::uint64_t nextId = 1;
};

// Never destroyed, like the machine binding: service threads may still run at process exit.
Registry& Lines() {
    static Registry* registry = new Registry;
    return *registry;
}

Attachment::~Attachment() {
    line_->Remove(id_);
    Registry& registry = Lines();
    const std::lock_guard guard(registry.lock);
    std::erase(registry.attachments, this);
}

RtHandle Attach(const Routine& routine, std::int32_t priority, std::uint32_t interfaceType,
                std::uint32_t bus, std::uint32_t level) {
    if (ShouldFail(Fault::InterruptAttach)) {
        SetLastError(RtError::NotEnoughMemory);
        return nullptr;
    }
    if ((routine.plain == nullptr && routine.shareable == nullptr) ||
        interfaceType != RtValue::PciBus) {
        SetLastError(RtError::InvalidParameter);
        return nullptr;
    }
    sim::Machine& machine = CurrentMachine();
    if (!machine.AnythingOnLine(bus, level)) {
        SetLastError(RtError::PathNotFound);
        return nullptr;
    }
    const bool threaded = CurrentDelivery() == InterruptDelivery::Threads;
    Registry& registry = Lines();
    const std::lock_guard guard(registry.lock);
    auto found = std::find_if(registry.lines.begin(), registry.lines.end(),
                              [&](const auto& line) { return line->Is(bus, level); });
    Line* line = nullptr;
    if (found == registry.lines.end()) {
        registry.lines.push_back(std::make_unique<Line>(
            bus, level, machine.BoardsOnLine(bus, level), machine.GetClock(), threaded, priority));
        line = registry.lines.back().get();
    } else {
        line = found->get();
    }
    if (!line->Accepts(routine.shared)) {
        SetLastError(RtError::InvalidParameter);  // held exclusively, or asked exclusively
        return nullptr;
    }
    const std::uint64_t id = registry.nextId++;
    Routine added = routine;
    added.id = id;
    line->Add(added);
    auto* attachment = new Attachment(line, id);
    registry.attachments.push_back(attachment);
    return attachment;
}

}  // namespace

void DetachAllInterrupts() {
    Registry& registry = Lines();
    std::vector<Attachment*> attachments;
    {
        const std::lock_guard guard(registry.lock);
        attachments = registry.attachments;
    }
    for (Attachment* attachment : attachments) {
        delete attachment;
    }
    std::vector<std::unique_ptr<Line>> lines;
    {
        const std::lock_guard guard(registry.lock);
        lines.swap(registry.lines);
    }
    lines.clear();  // each line's service thread ends here
}

std::uint32_t DeliverInterrupts() {
    std::vector<Line*> lines;
    {
        Registry& registry = Lines();
        const std::lock_guard guard(registry.lock);
        for (const auto& line : registry.lines) {
            lines.push_back(line.get());
        }
    }
    std::uint32_t passes = 0;
    for (Line* line : lines) {
        passes += line->DeliverManually();
    }
    return passes;
}

}  // namespace host

RtHandle RTAPI RtAttachInterruptVector(void* /*security*/, std::uint32_t /*stackSize*/,
                                       RtInterruptRoutine routine, void* context,
                                       std::uint32_t priority, std::uint32_t interfaceType,
                                       std::uint32_t busNumber, std::uint32_t level,
                                       std::uint32_t /*vector*/) {
    return host::Attach({0, routine, nullptr, context, nullptr, false},
                        static_cast<std::int32_t>(priority), interfaceType, busNumber, level);
}

// The board's output is a level; an edge-triggered attachment would lose interrupts, so the
// host refuses any mode but level-sensitive.
RtHandle RTAPI RtAttachInterruptVectorEx(void* /*security*/, std::uint32_t /*stackSize*/,
                                         RtInterruptRoutineEx routine, void* context,
                                         std::uint32_t priority, std::uint32_t interfaceType,
                                         std::uint32_t busNumber, std::uint32_t level,
                                         std::uint32_t /*vector*/, RtBoolean shared,
                                         std::uint32_t interruptMode,
                                         RtInterruptPrecheck precheck) {
    if (interruptMode != RtValue::LevelSensitive) {
        if (host::ShouldFail(host::Fault::InterruptAttach)) {
            SetLastError(RtError::NotEnoughMemory);
            return nullptr;
        }
        SetLastError(RtError::InvalidParameter);
        return nullptr;
    }
    return host::Attach({0, nullptr, routine, context, precheck, shared != 0},
                        static_cast<std::int32_t>(priority), interfaceType, busNumber, level);
}
