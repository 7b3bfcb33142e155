#include "tests/support/TestChannel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/host/PosixNames.h"
#include "port/PortEvents.h"
#include "server/Dispatch.h"

namespace testsupport {
namespace {

constexpr std::int32_t ServicePriority = 121;

struct Scripted {
    std::mutex lock;
    std::condition_variable released;
    DispatchScript script;
    std::uint64_t releases = 0;
    std::map<const ChannelView*, std::uint64_t> held;  // per channel: late replies may stand
};

Scripted& State() {
    static Scripted state;
    return state;
}

}  // namespace

void Script(DispatchScript script) {
    const std::lock_guard guard(State().lock);
    State().script = std::move(script);
}

void ReleaseHeld() {
    {
        const std::lock_guard guard(State().lock);
        State().script.hold = false;
        ++State().releases;
    }
    State().released.notify_all();
}

std::uint32_t ScriptedDispatch(RequestPart* request, const ChannelView* channel) {
    DispatchScript script;
    {
        std::unique_lock guard(State().lock);
        const std::uint64_t seen = State().releases;
        if (State().script.hold) ++State().held[channel];
        State().released.wait(guard,
                              [&] { return !State().script.hold || State().releases != seen; });
        script = State().script;
    }
    if (script.inspect) script.inspect(*request, channel->dataArea);
    const std::uint32_t status = script.status ? *script.status : DispatchRequest(request, channel);
    if (script.resultCount) request->resultCount = *script.resultCount;
    return status;
}

TestChannel::TestChannel(const std::string& name, RequestHandler handler,
                         std::uint32_t dataAreaSize)
    : channel_(CreateDeviceChannel(name.c_str(), handler, 0, ServicePriority, dataAreaSize)),
      serving_(channel_ != nullptr) {
    if (channel_ == nullptr) return;
    // A mapping of its own, as a client in another process has: what the service thread does in
    // the driver's mapping is ordered for ThreadSanitizer through the semaphores only.
    blockSize_ = dataAreaSize + RequestBlockOverhead;
    const int fd = shm_open(posix_names::ObjectName(name + SharedMemorySuffix).c_str(), O_RDWR, 0);
    void* mapping = mmap(nullptr, blockSize_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapping == MAP_FAILED) throw std::runtime_error("cannot map the block of " + name);
    clientBlock_ = static_cast<RequestBlock*>(mapping);
}

void DestroyChannel(DeviceChannel* channel, bool serving) {
    if (serving) {
        channel->block->request.requestCode = ChannelStop;
        RtReleaseSemaphore(channel->requestSemaphore, 1, nullptr);
        RtWaitForSingleObject(channel->replySemaphore, 5000);
    }
    RtCloseHandle(channel->serviceThread);
    RtCloseHandle(channel->channelMutex);
    RtCloseHandle(channel->replySemaphore);
    RtCloseHandle(channel->requestSemaphore);
    RtFreeLockedMemory(const_cast<char*>(channel->view.deviceName));
    RtCloseHandle(channel->sharedMemory);
    RtFreeLockedMemory(channel);
}

void DestroyPortEvents(std::uint8_t portIndex) {
    PortEventObjects& objects = EventObjects[portIndex];
    for (const RtHandle waiter : objects.waiters) RtCloseHandle(waiter);  // null: nothing
    RtCloseHandle(objects.sharedMemory);
    objects = {};
}

TestChannel::~TestChannel() {
    if (channel_ == nullptr) return;
    ReleaseHeld();
    Script({});
    bool lateReplies = false;
    {
        const std::lock_guard guard(State().lock);
        lateReplies = State().held.erase(&channel_->view) != 0;
    }
    // A late reply taken for the stop's would let the channel go while its thread still runs.
    while (lateReplies &&
           RtWaitForSingleObject(channel_->replySemaphore, 100) == RtValue::WaitObject0) {}
    munmap(clientBlock_, blockSize_);
    DestroyChannel(channel_, serving_);
}

bool TestChannel::Call(std::uint32_t requestCode, std::uint32_t timeoutMilliseconds) {
    Request().requestCode = requestCode;
    if (!RtReleaseSemaphore(channel_->requestSemaphore, 1, nullptr)) return false;
    const bool answered = RtWaitForSingleObject(channel_->replySemaphore, timeoutMilliseconds) ==
                          RtValue::WaitObject0;
    if (requestCode == ChannelStop && answered) serving_ = false;
    return answered;
}

}  // namespace testsupport
