// The device channel with its service thread: what creation leaves in the block and under which
// names, the service loop, ChannelStop, a client that does not wait for its reply, and every
// failure of creation with nothing left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Rtss.h"
#include "platform/host/Faults.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NamedObjects.h"
#include "platform/host/PosixNames.h"
#include "server/DeviceChannel.h"
#include "server/SharedFields.h"
#include "tests/support/Eventually.h"
#include "tests/support/TestChannel.h"
#include "tests/support/TestNamespace.h"

namespace {

using testsupport::TestChannel;

const std::string DeviceName = "\\RtDevice\\Quelta\\Serial1";  // 24 characters

// What the handler saw of its last call; the service thread writes, the test reads after the
// reply (the semaphores order the two).
struct Seen {
    std::atomic<std::uint32_t> calls{0};
    RequestPart* request = nullptr;
    const ChannelView* channel = nullptr;
    std::uint32_t dataAddress = 0;
} seen;

std::uint32_t RecordingHandler(RequestPart* request, const ChannelView* channel) {
    seen.request = request;
    seen.channel = channel;
    seen.dataAddress = request->dataAddress;
    ++seen.calls;
    return 77;
}

// An address as the block's address words hold it: the whole address in the 32-bit build, as on
// the target; its low 32 bits on the 64-bit host.
std::uint32_t Word(const void* address) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) & UINT32_MAX);
}

class DeviceChannelTest : public ::testing::Test {
protected:
    void SetUp() override { seen.calls = 0; }
    void TearDown() override {
        host::ClearFaults();
        EXPECT_EQ(testsupport::NamesIn(testsupport::ProcessNamespace()).size(), 0u);
    }
};

TEST_F(DeviceChannelTest, CreationLaysOutTheBlockAndEachRequestReachesTheHandler) {
    TestChannel channel(DeviceName, RecordingHandler);
    ASSERT_NE(channel.Get(), nullptr);
    RequestBlock* block = channel.Get()->block;
    const ChannelView& view = channel.Get()->view;
    struct stat status {};
    ASSERT_EQ(stat(("/dev/shm" + posix_names::ObjectName(DeviceName + ".sm")).c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 8236) << "data area size + 44";
    EXPECT_EQ(block->dataAreaSize, 8192u);
    EXPECT_EQ(block->request.nameLength, 24u);
    EXPECT_EQ(block->request.status, 0u);
    EXPECT_EQ(view.dataArea, reinterpret_cast<std::uint8_t*>(block) + 40);
    ASSERT_EQ(view.deviceNameLength, 24u);
    EXPECT_EQ(std::string(view.deviceName, 24), DeviceName);
    EXPECT_EQ(block->request.nameAddress, Word(view.deviceName));
    EXPECT_STREQ(channel.Get()->objectName, DeviceName.c_str()) << "the bare name afterwards";
    EXPECT_EQ(testsupport::NamesIn(testsupport::ProcessNamespace()).size(), 8u)
        << ".sm, .s1, .s2 and the mutex, each with its owner lock";
    EXPECT_EQ(host::RecordedPriority(channel.Get()->serviceThread), 121);

    for (std::uint32_t n = 1; n <= 2; ++n) {
        channel.Request().dataAddress = 0xDEADBEEF;  // a client's scribble
        ASSERT_TRUE(channel.Call(SerialGetLineErrors));
        EXPECT_EQ(seen.calls.load(), n);
        EXPECT_EQ(seen.request, &block->request) << "the block from offset 4 on";
        EXPECT_EQ(seen.channel, &view);
        EXPECT_EQ(seen.dataAddress, Word(view.dataArea)) << "rewritten before the handler";
        EXPECT_EQ(channel.Request().status, 77u) << "the handler's result lands in status";
    }
    channel.Request().resultCount = 5;
    ASSERT_TRUE(channel.Call(ChannelStop));
    EXPECT_EQ(channel.Request().status, 77u) << "as the previous request left it";
    EXPECT_EQ(channel.Request().resultCount, 5u);
    EXPECT_EQ(seen.calls.load(), 2u) << "the stop never reaches the handler";
    EXPECT_FALSE(channel.Call(SerialGetLineErrors, 100)) << "nobody serves any more";
    for (RtHandle semaphore : {channel.Get()->requestSemaphore, channel.Get()->replySemaphore}) {
        RtWaitForSingleObject(semaphore, 0);
        EXPECT_TRUE(RtReleaseSemaphore(semaphore, 1, nullptr));
        EXPECT_FALSE(RtReleaseSemaphore(semaphore, 1, nullptr)) << "a maximum count of 1";
    }
}

// A client that sends without waiting leaves the reply semaphore at its maximum. The reply is
// signalled all the same; the device goes on serving everyone else.
TEST_F(DeviceChannelTest, AReplyNobodyWaitedForDoesNotEndTheService) {
    TestChannel channel(DeviceName, RecordingHandler);
    ASSERT_NE(channel.Get(), nullptr);
    ASSERT_TRUE(RtReleaseSemaphore(channel.Get()->replySemaphore, 1, nullptr));
    channel.Request().requestCode = SerialGetLineErrors;
    ASSERT_TRUE(RtReleaseSemaphore(channel.Get()->requestSemaphore, 1, nullptr));
    ASSERT_TRUE(testsupport::Eventually([] { return seen.calls.load() >= 1; }));
    ASSERT_TRUE(RtReleaseSemaphore(channel.Get()->requestSemaphore, 1, nullptr));
    EXPECT_TRUE(testsupport::Eventually([] { return seen.calls.load() >= 2; }))
        << "the service thread ended on the failed release";
    EXPECT_EQ(RtWaitForSingleObject(channel.Get()->replySemaphore, 5000), RtValue::WaitObject0);
    EXPECT_TRUE(channel.Call(SerialGetLineErrors)) << "an orderly client gets its reply";
}

// Every step of creation that can fail, with the code it reports. What was made before is
// released: no name, no open handle, no thread that runs (and no memory: the ASan pass's leak
// check sees it).
TEST_F(DeviceChannelTest, CreationFailsWithTheCodeOfItsStepAndLeavesNothingBehind) {
    struct Failure {
        host::Fault fault;
        std::uint32_t nthCall;
        std::uint32_t code;
    };
    // clang-format off
    const Failure failures[] = {
        {host::Fault::Allocation, 1, RtError::NotEnoughMemory},   // the channel record
        {host::Fault::SharedMemory, 1, RtError::AlreadyExists},   // whatever the reason
        {host::Fault::Allocation, 2, RtError::NotEnoughMemory},   // the name copy
        {host::Fault::Semaphore, 1, RtError::PathNotFound},       // request semaphore
        {host::Fault::Semaphore, 2, RtError::PathNotFound},       // reply semaphore
        {host::Fault::Mutex, 1, RtError::PathNotFound},
        {host::Fault::Thread, 1, RtError::PathNotFound},
        {host::Fault::Priority, 1, RtError::PathNotFound},
    };
    // clang-format on
    for (const Failure& failure : failures) {
        host::FailNthCall(failure.fault, failure.nthCall);
        SetLastError(0);
        { EXPECT_EQ(TestChannel(DeviceName, RecordingHandler).Get(), nullptr); }
        EXPECT_EQ(GetLastError(), failure.code) << static_cast<int>(failure.fault);
        EXPECT_EQ(testsupport::NamesIn(testsupport::ProcessNamespace()).size(), 0u);
        EXPECT_EQ(host::OpenNamedObjects(), 0u);
        host::ClearFaults();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen.calls.load(), 0u) << "no thread of a failed creation ever ran";
    EXPECT_NE(TestChannel(DeviceName, RecordingHandler).Get(), nullptr) << "the name is free";
}

}  // namespace
