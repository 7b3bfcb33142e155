#include "server/DeviceChannel.h"

#include <cstring>

#include "server/SharedFields.h"

namespace {

constexpr std::uint32_t SuffixBytes = 4;            // ".sm", ".s1" or ".s2" with its terminator
constexpr std::uint32_t ResumeFailed = 0xFFFFFFFF;  // ResumeThread's answer for a bad handle
static_assert(sizeof SharedMemorySuffix == SuffixBytes &&
              sizeof RequestSemaphoreSuffix == SuffixBytes &&
              sizeof ReplySemaphoreSuffix == SuffixBytes);

// Creation steps, in the order they are made.
enum class Made : std::uint8_t {
    Channel,
    SharedMemory,
    NameCopy,
    RequestSemaphore,
    ReplySemaphore,
    Mutex,
    Thread,
};

// Releases everything creation made up to and including `last`, newest first, and reports the
// failure as the platform's creation functions do. A thread created suspended and closed here
// never runs.
DeviceChannel* Abandon(DeviceChannel* channel, Made last, std::uint32_t code) {
    switch (last) {
    case Made::Thread:
        RtCloseHandle(channel->serviceThread);
        [[fallthrough]];
    case Made::Mutex:
        RtCloseHandle(channel->channelMutex);
        [[fallthrough]];
    case Made::ReplySemaphore:
        RtCloseHandle(channel->replySemaphore);
        [[fallthrough]];
    case Made::RequestSemaphore:
        RtCloseHandle(channel->requestSemaphore);
        [[fallthrough]];
    case Made::NameCopy:
        RtFreeLockedMemory(const_cast<char*>(channel->view.deviceName));
        [[fallthrough]];
    case Made::SharedMemory:
        RtCloseHandle(channel->sharedMemory);
        [[fallthrough]];
    case Made::Channel:
        RtFreeLockedMemory(channel);
        break;
    }
    SetLastError(code);
    return nullptr;
}

void PutSuffix(DeviceChannel* channel, const char (&suffix)[SuffixBytes]) {
    std::memcpy(channel->objectName + channel->view.deviceNameLength, suffix, SuffixBytes);
}

}  // namespace

DeviceChannel* CreateDeviceChannel(const char* name, RequestHandler handler,
                                   std::uint32_t stackSize, std::int32_t priority,
                                   std::uint32_t dataAreaSize) {
    const auto nameLength = static_cast<std::uint32_t>(std::strlen(name));

    auto* channel = static_cast<DeviceChannel*>(RtAllocateLockedMemory(
        static_cast<std::uint32_t>(sizeof(DeviceChannel)) + nameLength + SuffixBytes));
    if (channel == nullptr) {
        SetLastError(RtError::NotEnoughMemory);
        return nullptr;
    }
    channel->objectName = reinterpret_cast<char*>(channel + 1);
    std::memcpy(channel->objectName, name, nameLength + 1);
    channel->handler = handler;
    channel->view.deviceNameLength = nameLength;

    // Whatever the platform's reason, a block that cannot be made means the device is taken.
    PutSuffix(channel, SharedMemorySuffix);
    void* mapping = nullptr;
    channel->sharedMemory =
        dataAreaSize > UINT32_MAX - RequestBlockOverhead
            ? nullptr
            : RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, dataAreaSize + RequestBlockOverhead,
                                    channel->objectName, &mapping);
    if (channel->sharedMemory == nullptr) {
        return Abandon(channel, Made::Channel, RtError::AlreadyExists);
    }
    RequestBlock* block = static_cast<RequestBlock*>(mapping);
    channel->block = block;
    channel->view.dataArea = DataArea(block);
    channel->view.dataAreaSize = dataAreaSize;

    auto* nameCopy = static_cast<char*>(RtAllocateLockedMemory(nameLength));
    if (nameCopy == nullptr) {
        return Abandon(channel, Made::SharedMemory, RtError::NotEnoughMemory);
    }
    std::memcpy(nameCopy, name, nameLength);
    channel->view.deviceName = nameCopy;
    block->request.nameAddress = AddressWord(nameCopy);
    block->request.nameLength = static_cast<std::uint8_t>(nameLength);
    block->dataAreaSize = dataAreaSize;
    block->request.status = RequestDone;

    PutSuffix(channel, RequestSemaphoreSuffix);
    channel->requestSemaphore = RtCreateSemaphoreA(nullptr, 0, 1, channel->objectName);
    if (channel->requestSemaphore == nullptr) {
        return Abandon(channel, Made::NameCopy, RtError::PathNotFound);
    }
    PutSuffix(channel, ReplySemaphoreSuffix);
    channel->replySemaphore = RtCreateSemaphoreA(nullptr, 0, 1, channel->objectName);
    if (channel->replySemaphore == nullptr) {
        return Abandon(channel, Made::RequestSemaphore, RtError::PathNotFound);
    }
    channel->objectName[nameLength] = '\0';
    channel->channelMutex = RtCreateMutexA(nullptr, 0, channel->objectName);
    if (channel->channelMutex == nullptr) {
        return Abandon(channel, Made::ReplySemaphore, RtError::PathNotFound);
    }

    // Suspended, so that it serves its first request at the priority it was meant to have.
    channel->serviceThread = CreateThread(nullptr, stackSize, DeviceChannelThread, channel,
                                          RtValue::CreateSuspended, nullptr);
    if (channel->serviceThread == nullptr) {
        return Abandon(channel, Made::Mutex, RtError::PathNotFound);
    }
    if (RtSetThreadPriority(channel->serviceThread, priority) == 0 ||
        ResumeThread(channel->serviceThread) == ResumeFailed) {
        return Abandon(channel, Made::Thread, RtError::PathNotFound);
    }
    return channel;
}

std::uint32_t RTFCNDCL DeviceChannelThread(void* parameter) {
    auto* channel = static_cast<DeviceChannel*>(parameter);
    RequestBlock* block = channel->block;
    for (;;) {
        // A wait that fails means the semaphore is gone: no request can come any more.
        if (RtWaitForSingleObject(channel->requestSemaphore, RtValue::Infinite) ==
            RtValue::WaitFailed) {
            ExitThread(0);
        }
        if (ReadOnce(block->request.requestCode) == ChannelStop) {
            RtReleaseSemaphore(channel->replySemaphore, 1, nullptr);
            ExitThread(0);
        }
        block->request.dataAddress = AddressWord(channel->view.dataArea);
        block->request.status = channel->handler(&block->request, &channel->view);
        // The block is complete before the reply is signalled. A reply semaphore already at its
        // maximum means a client sent without waiting: the reply is signalled all the same, and
        // one careless client must not end the device for everyone else.
        if (RtReleaseSemaphore(channel->replySemaphore, 1, nullptr) == 0 &&
            GetLastError() != RtError::TooManyPosts) {
            ExitThread(0);
        }
    }
}
