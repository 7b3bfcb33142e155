// The machine's line thread in paced and unpaced time.
#include <algorithm>
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

// Whoever runs the machine may raise its line thread, which stands for the hardware: the start
// hook runs first on a paced line thread. An unpaced one never sleeps while characters move and
// would starve the machine if raised; manual time has no line thread.
TEST(MachineThreads, OnlyAPacedLineThreadRunsTheStartHook) {
    struct Case {
        const char* pace;
        bool manualTime;
        bool runs;
    };
    for (const Case c :
         {Case{"pace 1", false, true}, Case{"pace 0", false, false}, Case{"pace 1", true, false}}) {
        std::atomic<int> runs{0};
        std::atomic<bool> onLineThread{false};
        const std::thread::id test = std::this_thread::get_id();
        sim::MachineOptions options;
        options.manualTime = c.manualTime;
        options.pacedLineThreadStart = [&] {
            onLineThread = std::this_thread::get_id() != test;
            ++runs;
        };
        {
            sim::LoadedMachine loaded = sim::LoadMachine(
                std::string(sim::DefaultBoardStatement) + c.pace + "\n", "test", options);
            ASSERT_TRUE(loaded.machine) << loaded.error;
            if (c.runs) {
                ASSERT_TRUE(Eventually([&] { return runs == 1; })) << c.pace;
            }
        }  // the line thread has ended: a hook it ran shows
        EXPECT_EQ(runs, c.runs ? 1 : 0) << c.pace << (c.manualTime ? ", manual" : "");
        EXPECT_EQ(onLineThread, c.runs) << c.pace;
    }
}

}  // namespace
}  // namespace simtest
