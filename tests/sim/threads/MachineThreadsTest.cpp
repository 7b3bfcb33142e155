// The machine's line thread in paced and unpaced time.
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

}  // namespace
}  // namespace simtest
