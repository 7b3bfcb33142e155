// Device channels and their clients in different processes, over the real POSIX objects: clients
// of one device exclude each other through its mutex, a client that dies holding the mutex blocks
// nobody, the names of a creator that died are reclaimed, those of a living one are not, and every
// orderly end removes them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "platform/Rtss.h"
#include "server/DeviceChannel.h"
#include "tests/server/support/ChannelUnderTest.h"
#include "tests/server/support/EchoHandler.h"
#include "tests/server/support/PeerProcess.h"
#include "tests/server/support/RawClient.h"
#include "tests/server/support/TestNamespace.h"

namespace {

using servertest::ChannelUnderTest;
using servertest::LeftoverNames;
using servertest::PeerProcess;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string DeviceName = "\\RtDevice\\Quelta\\Serial3";

bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

TEST(CrossProcess, ClientProcessesTakeTurnsThroughTheDeviceMutex) {
    ChannelUnderTest channel(DeviceName, servertest::EchoHandler);
    ASSERT_NE(channel.Get(), nullptr);
    // Each client checks every reply against its own request: a request of the other client in
    // the block between its send and its reply would show as a mismatch.
    PeerProcess first({"client", DeviceName, "3000"});
    PeerProcess second({"client", DeviceName, "3000"});
    EXPECT_EQ(first.ReadLine(60000), "ok");
    EXPECT_EQ(second.ReadLine(60000), "ok");
    EXPECT_TRUE(ExitedWith(first.Wait(), 0));
    EXPECT_TRUE(ExitedWith(second.Wait(), 0));
}

TEST(CrossProcess, AClientKilledHoldingTheMutexDoesNotBlockTheNext) {
    ChannelUnderTest channel(DeviceName, servertest::EchoHandler);
    ASSERT_NE(channel.Get(), nullptr);
    PeerProcess holder({"hold", DeviceName});
    ASSERT_EQ(holder.ReadLine(), "locked");
    holder.Signal(SIGKILL);
    holder.Wait();

    servertest::RawClient client(DeviceName);
    EXPECT_TRUE(client.Lock()) << "the next client learns that the owner died";
    client.Request().dataLength = 1;
    client.Data()[0] = 0x0F;
    ASSERT_TRUE(client.Call(SerialGetLineErrors));
    EXPECT_EQ(client.Data()[0], 0xF0);
    client.Unlock();
    EXPECT_FALSE(client.Lock()) << "made consistent again: the one after that is not told";
    client.Unlock();

    PeerProcess next({"client", DeviceName, "10"});
    EXPECT_EQ(next.ReadLine(), "ok");
}

TEST(CrossProcess, TheDriverSideSeesAnAbandonedMutexOnce) {
    ChannelUnderTest channel(DeviceName, servertest::EchoHandler);
    ASSERT_NE(channel.Get(), nullptr);
    PeerProcess holder({"hold", DeviceName});
    ASSERT_EQ(holder.ReadLine(), "locked");
    EXPECT_EQ(RtWaitForSingleObject(channel->channelMutex, 50), RtValue::WaitTimeout);
    holder.Signal(SIGKILL);
    holder.Wait();
    EXPECT_EQ(RtWaitForSingleObject(channel->channelMutex, 5000), RtValue::WaitAbandoned);
    EXPECT_EQ(RtWaitForSingleObject(channel->channelMutex, 0), RtValue::WaitObject0);
}

TEST(CrossProcess, NamesOfACreatorKilledOutrightAreReclaimed) {
    PeerProcess creator({"create", DeviceName});
    ASSERT_EQ(creator.ReadLine(), "ready");
    creator.Signal(SIGKILL);
    creator.Wait();
    ASSERT_THAT(LeftoverNames(), Not(IsEmpty())) << "SIGKILL leaves the names behind";

    {
        ChannelUnderTest channel(DeviceName, servertest::EchoHandler);
        ASSERT_NE(channel.Get(), nullptr) << "error " << GetLastError();
        servertest::RawClient client(DeviceName);
        client.Request().dataLength = 0;
        ASSERT_TRUE(client.Call(SerialClose));
        EXPECT_EQ(client.Request().status, servertest::EchoStatusBase + SerialClose);
    }
    EXPECT_THAT(LeftoverNames(), IsEmpty());
}

TEST(CrossProcess, ASecondCreatorFailsWith183WhileTheFirstLives) {
    PeerProcess creator({"create", DeviceName});
    ASSERT_EQ(creator.ReadLine(), "ready");
    SetLastError(0);
    {
        ChannelUnderTest channel(DeviceName, servertest::EchoHandler);
        EXPECT_EQ(channel.Get(), nullptr);
    }
    EXPECT_EQ(GetLastError(), RtError::AlreadyExists);

    PeerProcess second({"create", DeviceName});
    EXPECT_EQ(second.ReadLine(), "error 183");
    EXPECT_TRUE(ExitedWith(second.Wait(), 1));

    PeerProcess client({"client", DeviceName, "10"});
    EXPECT_EQ(client.ReadLine(), "ok") << "the first creator's device is untouched";
    creator.Signal(SIGTERM);  // an orderly end, so that its names go with it
    EXPECT_TRUE(ExitedWith(creator.Wait(), 0));
    EXPECT_THAT(LeftoverNames(), IsEmpty());
}

// However the process ends in order, it removes every name it created.
class OrderlyEnd : public ::testing::TestWithParam<const char*> {};

TEST_P(OrderlyEnd, RemovesTheNamesTheProcessCreated) {
    PeerProcess creator({GetParam(), DeviceName});
    ASSERT_EQ(creator.ReadLine(), "ready");
    ASSERT_THAT(LeftoverNames(), Not(IsEmpty()));
    creator.Signal(std::string(GetParam()) == "create" ? SIGTERM : SIGUSR1);
    EXPECT_TRUE(ExitedWith(creator.Wait(), 0));
    EXPECT_THAT(LeftoverNames(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(EveryWay, OrderlyEnd,
                         ::testing::Values("create", "create-exit", "create-exitprocess"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             const std::string name = param.param;
                             return name == "create"             ? std::string("EndingSignal")
                                    : name == "create-exit"      ? std::string("ReturnFromMain")
                                                                 : std::string("ExitProcess");
                         });

}  // namespace
