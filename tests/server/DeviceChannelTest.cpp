// The device channel in one process: what creation leaves in the block and under which names,
// the service loop, ChannelStop, a client that does not wait for its reply, and every failure
// of creation with nothing left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NamedObjects.h"
#include "platform/host/PosixNames.h"
#include "server/DeviceChannel.h"
#include "server/SharedFields.h"
#include "tests/server/support/ChannelUnderTest.h"
#include "tests/server/support/EchoHandler.h"
#include "tests/server/support/TestNamespace.h"

namespace {

using servertest::ChannelUnderTest;
using servertest::LeftoverNames;
using ::testing::IsEmpty;

const std::string DeviceName = "\\RtDevice\\Quelta\\Serial1";  // 24 characters

// What the handler saw of its last call; the service thread writes, the test reads after the
// reply (the semaphores order the two).
struct Seen {
    std::atomic<std::uint32_t> calls{0};
    RequestPart* request = nullptr;
    const ChannelView* channel = nullptr;
    std::uint32_t dataAddress = 0;
};
Seen seen;

std::uint32_t RecordingHandler(RequestPart* request, const ChannelView* channel) {
    seen.request = request;
    seen.channel = channel;
    seen.dataAddress = request->dataAddress;
    ++seen.calls;
    return 77;
}

bool WaitForCalls(std::uint32_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.calls.load() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

class DeviceChannelTest : public ::testing::Test {
protected:
    void SetUp() override { seen.calls = 0; }
    void TearDown() override { host::ClearFaults(); }
};

TEST_F(DeviceChannelTest, CreationLaysOutTheBlockAndNamesTheObjects) {
    {
        ChannelUnderTest channel(DeviceName, RecordingHandler);
        ASSERT_NE(channel.Get(), nullptr);
        RequestBlock* block = channel->block;

        struct stat status {};
        ASSERT_EQ(stat(("/dev/shm" + posix_names::ObjectName(DeviceName + ".sm")).c_str(),
                       &status),
                  0);
        EXPECT_EQ(status.st_size, 8236) << "data area size + 44";
        EXPECT_EQ(block->dataAreaSize, 8192u);
        EXPECT_EQ(block->request.nameLength, 24u);
        EXPECT_EQ(block->request.status, 0u);
        EXPECT_EQ(block->request.resultCount, 0u) << "not set at creation: the object's own zero";
        EXPECT_EQ(channel->view.dataArea, reinterpret_cast<std::uint8_t*>(block) + 40);
        EXPECT_EQ(channel->view.dataAreaSize, 8192u);
        ASSERT_EQ(channel->view.deviceNameLength, 24u);
        EXPECT_EQ(std::string(channel->view.deviceName, 24), DeviceName);
        EXPECT_EQ(block->request.nameAddress, AddressWord(channel->view.deviceName));
        EXPECT_STREQ(channel->objectName, DeviceName.c_str()) << "the bare name afterwards";

        EXPECT_TRUE(servertest::SharedMemoryExists(DeviceName + ".sm"));
        EXPECT_TRUE(servertest::SemaphoreExists(DeviceName + ".s1"));
        EXPECT_TRUE(servertest::SemaphoreExists(DeviceName + ".s2"));
        EXPECT_TRUE(servertest::SharedMemoryExists(DeviceName)) << "the mutex, bare name";
        EXPECT_EQ(host::RecordedPriority(channel->serviceThread), servertest::ServicePriority);
    }
    EXPECT_THAT(LeftoverNames(), IsEmpty());
}

TEST_F(DeviceChannelTest, EachRequestReachesTheHandlerWithTheDriversOwnAddresses) {
    ChannelUnderTest channel(DeviceName, RecordingHandler);
    ASSERT_NE(channel.Get(), nullptr);
    for (std::uint32_t n = 1; n <= 3; ++n) {
        channel.Request().dataAddress = 0xDEADBEEF;  // a client's scribble
        channel.Request().status = 0xFFFF;
        ASSERT_TRUE(channel.Call(SerialGetLineErrors));
        EXPECT_EQ(seen.calls.load(), n);
        EXPECT_EQ(seen.request, &channel->block->request) << "the block from offset 4 on";
        EXPECT_EQ(seen.channel, &channel->view);
        EXPECT_EQ(seen.dataAddress, AddressWord(channel->view.dataArea))
            << "dataAddress is rewritten before the handler runs";
        EXPECT_EQ(channel.Request().status, 77u) << "the handler's result lands in status";
    }
}

TEST_F(DeviceChannelTest, StopWakesTheClientOnceAndEndsTheService) {
    ChannelUnderTest channel(DeviceName, RecordingHandler);
    ASSERT_NE(channel.Get(), nullptr);
    ASSERT_TRUE(channel.Call(SerialGetLineErrors));
    channel.Request().resultCount = 5;
    channel.Request().dataAddress = 0x1234;
    ASSERT_TRUE(channel.Call(ChannelStop));
    EXPECT_EQ(channel.Request().status, 77u) << "as the previous request left it";
    EXPECT_EQ(channel.Request().resultCount, 5u);
    EXPECT_EQ(channel.Request().dataAddress, 0x1234u);
    EXPECT_EQ(seen.calls.load(), 1u) << "the stop never reaches the handler";
    EXPECT_FALSE(channel.Call(SerialGetLineErrors, 100)) << "nobody serves any more";
    EXPECT_EQ(seen.calls.load(), 1u);
}

// A client that sends without waiting leaves the reply semaphore at its maximum. The reply is
// signalled all the same; the device must go on serving everyone else.
TEST_F(DeviceChannelTest, AReplyNobodyWaitedForDoesNotEndTheService) {
    ChannelUnderTest channel(DeviceName, RecordingHandler);
    ASSERT_NE(channel.Get(), nullptr);
    ASSERT_TRUE(RtReleaseSemaphore(channel->replySemaphore, 1, nullptr))
        << "an earlier reply that nobody took";
    channel.Request().requestCode = SerialGetLineErrors;
    ASSERT_TRUE(RtReleaseSemaphore(channel->requestSemaphore, 1, nullptr));
    ASSERT_TRUE(WaitForCalls(1));
    // The service thread takes the next request only after it has tried to release the reply
    // semaphore for the first, which was at its maximum.
    ASSERT_TRUE(RtReleaseSemaphore(channel->requestSemaphore, 1, nullptr));
    EXPECT_TRUE(WaitForCalls(2)) << "the service thread ended on the failed release";
    EXPECT_EQ(RtWaitForSingleObject(channel->replySemaphore, 5000), RtValue::WaitObject0);
    EXPECT_TRUE(channel.Call(SerialGetLineErrors)) << "an orderly client gets its reply";
}

// The service thread polls only briefly after each request and then sleeps: a device nobody
// uses costs no processor time. A thread that kept polling would use the whole half second.
TEST_F(DeviceChannelTest, AnIdleServiceThreadSleeps) {
    ChannelUnderTest channel(DeviceName, RecordingHandler);
    ASSERT_NE(channel.Get(), nullptr);
    ASSERT_TRUE(channel.Call(SerialGetLineErrors));
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const long usedMicroseconds =
        (after.tv_sec - before.tv_sec) * 1000000L + (after.tv_nsec - before.tv_nsec) / 1000;
    EXPECT_LT(usedMicroseconds, 100000L);
}

// Every step of creation that can fail, with the code it reports. What was made before is
// released: no name, no open handle, no thread that runs (and no memory, which the ASan pass's
// leak check sees).
struct CreationFailure {
    const char* step;
    host::Fault fault;
    std::uint32_t nthCall;
    std::uint32_t code;
};

void PrintTo(const CreationFailure& failure, std::ostream* out) { *out << failure.step; }

class DeviceChannelCreation : public ::testing::TestWithParam<CreationFailure> {
protected:
    void TearDown() override { host::ClearFaults(); }
};

TEST_P(DeviceChannelCreation, FailsWithItsCodeAndLeavesNothingBehind) {
    const CreationFailure& failure = GetParam();
    host::FailNthCall(failure.fault, failure.nthCall);
    SetLastError(0);
    {
        ChannelUnderTest channel(DeviceName, RecordingHandler);
        EXPECT_EQ(channel.Get(), nullptr);
    }
    EXPECT_EQ(GetLastError(), failure.code);
    EXPECT_THAT(LeftoverNames(), IsEmpty());
    EXPECT_EQ(host::OpenNamedObjects(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen.calls.load(), 0u);

    host::ClearFaults();
    ChannelUnderTest again(DeviceName, RecordingHandler);
    EXPECT_NE(again.Get(), nullptr) << "the name is free for the next attempt";
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, DeviceChannelCreation,
    ::testing::Values(
        CreationFailure{"ChannelRecord", host::Fault::Allocation, 1, RtError::NotEnoughMemory},
        CreationFailure{"SharedMemory", host::Fault::SharedMemory, 1, RtError::AlreadyExists},
        CreationFailure{"NameCopy", host::Fault::Allocation, 2, RtError::NotEnoughMemory},
        CreationFailure{"RequestSemaphore", host::Fault::Semaphore, 1, RtError::PathNotFound},
        CreationFailure{"ReplySemaphore", host::Fault::Semaphore, 2, RtError::PathNotFound},
        CreationFailure{"Mutex", host::Fault::Mutex, 1, RtError::PathNotFound},
        CreationFailure{"Thread", host::Fault::Thread, 1, RtError::PathNotFound},
        CreationFailure{"Priority", host::Fault::Priority, 1, RtError::PathNotFound}),
    [](const ::testing::TestParamInfo<CreationFailure>& param) { return param.param.step; });

TEST_F(DeviceChannelTest, ATakenNameFailsWith183AndLeavesTheOwnerServing) {
    ChannelUnderTest owner(DeviceName, servertest::EchoHandler);
    ASSERT_NE(owner.Get(), nullptr);
    SetLastError(0);
    {
        ChannelUnderTest second(DeviceName, RecordingHandler);
        EXPECT_EQ(second.Get(), nullptr);
    }
    EXPECT_EQ(GetLastError(), RtError::AlreadyExists);
    owner.Request().dataLength = 0;
    ASSERT_TRUE(owner.Call(SerialOpen));
    EXPECT_EQ(owner.Request().status, servertest::EchoStatusBase + SerialOpen);
    EXPECT_EQ(host::OpenNamedObjects(), 4u);
}

}  // namespace
