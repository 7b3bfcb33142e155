// The machine's line thread in paced and unpaced time, and a board whose interrupt sink keeps its
// time.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/sim/SimFixture.h"
#include "tests/support/Eventually.h"

namespace simtest {
namespace {

using testsupport::Eventually;

// The interrupt service took fewer bytes than the FIFO held after a receive time-out, and no
// character is on its way (automatic RTS holds the sender): only the line thread can bring the
// time-out for the bytes left. Like the service thread, the test waits on the interrupt line
// alone; a register access would find a due time-out by itself.
TEST(MachineThreads, BytesLeftBehindAWithdrawnTimeoutBringAnotherOne) {
    for (const std::string pace : {"pace 0", "pace 1"}) {
        TestBoard board("channel 0 null-modem 1\n" + pace + "\n", false);
        board.Configure(0, 1, Lcr8N1, 0);  // 921600 baud
        board.Configure(1, 1, Lcr8N1, ier::RxData, 16);
        board.Write(0, FeatureCtl, feature::Enhanced | feature::AutoCts);
        board.Write(1, FeatureCtl, feature::Enhanced | feature::AutoRts);
        board.Send(0, "0123456789abcdefghij");  // all queued while channel 1's RTS is still off
        board.Write(1, Mcr, mcr::Rts);
        // 16 come and RTS drops; 10 and 9 left keep it down (above 8), at 8 the last 4 come.
        ASSERT_TRUE(Eventually([&] { return board.Read(1, RxLevel) == 16; })) << pace;
        std::string received;
        for (const std::uint32_t count : {6u, 1u, 1u}) {
            for (std::uint32_t i = 0; i < count; ++i) {
                received.push_back(static_cast<char>(board.Read(1, FifoWindowStart)));
            }
            ASSERT_TRUE(Eventually([&] { return board.Board().LineAsserted(); }))
                << pace << ", after taking " << count;
            ASSERT_EQ(board.Read(1, Iir) & 0x3F, iir::RxTimeout) << pace;
        }
        EXPECT_EQ(received + board.Drain(1), "0123456789abcdefghij") << pace;
    }
}

// A sink that keeps the board's time: the line thread leaves the board to it, so a time-out that
// falls due raises nothing until the sink brings the board to the present, and an access that
// needs the board looked at sooner tells the sink. Without the sink the line thread takes it on.
TEST(MachineThreads, ABoardWhoseSinkKeepsItsTimeIsLeftToTheSink) {
    struct Sink final : sim::InterruptSink {
        std::atomic<int> changes{0}, earlier{0};
        void SummaryChanged() override { ++changes; }
        void WakeEarlier() override { ++earlier; }
    } sink;
    TestBoard board("channel 0 loopback\npace 1\n", false);
    board.Configure(0, 1, Lcr8N1, ier::RxData);  // 921600 baud: the time-out 5 characters on
    board.Board().SetInterruptSink(&sink, true);
    board.Send(0, "x");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(board.Board().LineAsserted());
    EXPECT_GT(sink.earlier, 0);
    board.Board().Advance(board.Machine().Now());
    EXPECT_TRUE(board.Board().LineAsserted());
    EXPECT_EQ(sink.changes, 1);
    board.Board().SetInterruptSink(nullptr);
    EXPECT_EQ(board.Drain(0), "x");
    board.Send(0, "y");
    EXPECT_TRUE(Eventually([&] { return board.Board().LineAsserted(); }));
}

}  // namespace
}  // namespace simtest
