// Threads of the platform on POSIX threads: created suspended when asked, released by
// ResumeThread; closing the handle of a thread that never ran means it never runs.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostObject.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/RealTime.h"

namespace host {
namespace {

enum class StartState { Suspended, Running, Abandoned };

// Shared by the handle and the thread itself, so either may go first.
struct ThreadControl {
    RtThreadRoutine routine = nullptr;
    void* parameter = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    StartState state = StartState::Suspended;
    pthread_t thread{};
    std::int32_t priority = -1;
};

class ThreadObject final : public HostObject {
public:
    explicit ThreadObject(std::shared_ptr<ThreadControl> control) : control_(std::move(control)) {}
    ~ThreadObject() override {
        const std::lock_guard guard(control_->lock);
        if (control_->state == StartState::Suspended) {
            control_->state = StartState::Abandoned;
            control_->changed.notify_all();
        }
    }
    ThreadControl& Control() { return *control_; }

private:
    std::shared_ptr<ThreadControl> control_;
};

// The pseudo-handle of GetCurrentThread.
class CurrentThreadObject final : public HostObject {};
CurrentThreadObject currentThreadHandle;

void* ThreadTrampoline(void* raw) {
    auto* holder = static_cast<std::shared_ptr<ThreadControl>*>(raw);
    const std::shared_ptr<ThreadControl> control = *holder;
    delete holder;
    {
        std::unique_lock guard(control->lock);
        control->changed.wait(guard, [&] { return control->state != StartState::Suspended; });
        if (control->state == StartState::Abandoned) {
            return nullptr;
        }
    }
    control->routine(control->parameter);
    return nullptr;
}

}  // namespace

std::int32_t RecordedPriority(void* threadHandle) {
    auto* object = dynamic_cast<ThreadObject*>(static_cast<HostObject*>(threadHandle));
    if (object == nullptr) {
        return -1;
    }
    const std::lock_guard guard(object->Control().lock);
    return object->Control().priority;
}

}  // namespace host

RtHandle RTAPI CreateThread(void* /*security*/, std::uint32_t stackSize, RtThreadRoutine routine,
                            void* parameter, std::uint32_t creationFlags, std::uint32_t* threadId) {
    if (host::ShouldFail(host::Fault::Thread)) {
        SetLastError(RtError::NotEnoughMemory);
        return nullptr;
    }
    auto control = std::make_shared<host::ThreadControl>();
    control->routine = routine;
    control->parameter = parameter;
    if ((creationFlags & RtValue::CreateSuspended) == 0) {
        control->state = host::StartState::Running;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const auto smallest = static_cast<std::size_t>(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attributes, std::max<std::size_t>(stackSize, smallest));
    }
    auto* holder = new std::shared_ptr<host::ThreadControl>(control);
    const int failed =
        pthread_create(&control->thread, &attributes, host::ThreadTrampoline, holder);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete holder;
        SetLastError(RtError::NotEnoughMemory);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(control.get()));
    }
    return new host::ThreadObject(control);
}

RtBool RTAPI RtSetThreadPriority(RtHandle thread, std::int32_t priority) {
    if (host::ShouldFail(host::Fault::Priority)) {
        return false;
    }
    auto* object = dynamic_cast<host::ThreadObject*>(static_cast<host::HostObject*>(thread));
    if (object == nullptr) {
        return false;
    }
    host::ThreadControl& control = object->Control();
    const std::lock_guard guard(control.lock);
    control.priority = priority;
    host::ApplyRealTimePriority(control.thread, priority);
    return true;
}

std::uint32_t RTAPI ResumeThread(RtHandle thread) {
    auto* object = dynamic_cast<host::ThreadObject*>(static_cast<host::HostObject*>(thread));
    if (object == nullptr) {
        return 0xFFFFFFFF;
    }
    host::ThreadControl& control = object->Control();
    const std::lock_guard guard(control.lock);
    if (control.state != host::StartState::Suspended) {
        return 0;
    }
    control.state = host::StartState::Running;
    control.changed.notify_all();
    return 1;  // the previous suspend count
}

void RTAPI ExitThread(std::uint32_t /*exitCode*/) {
    host::RequireNoOpenSection("a thread ended");
    pthread_exit(nullptr);
}

RtHandle RTAPI GetCurrentThread() { return &host::currentThreadHandle; }

// Only the parked main thread suspends itself; it then waits for the platform to end the process.
std::uint32_t RTAPI SuspendThread(RtHandle thread) {
    host::RequireNoOpenSection("the main thread parked");
    if (thread != &host::currentThreadHandle) {
        return 0xFFFFFFFF;
    }
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

void RTAPI Sleep(std::uint32_t milliseconds) {
    host::RequireNoOpenSection("a thread slept");
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

RtBool RTAPI RtCloseHandle(RtHandle object) {
    if (object == nullptr || object == &host::currentThreadHandle) {
        return false;
    }
    delete static_cast<host::HostObject*>(object);
    return true;
}
