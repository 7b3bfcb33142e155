// The request side of the two rings: ReadPort and WritePort against a port record, with the
// register fake for the transmit kick.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "port/Rings.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

using fake::W;

namespace {

class Rings : public ::testing::Test {
protected:
    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
    PortRecord& port = ports.Add(2, regs.Window(2));
    std::uint32_t Read(std::uint8_t* out, std::uint32_t length) {
        std::uint32_t count = 12345;
        ReadPort(2, out, length, &count);
        return count;
    }
};

// Reads take what is there up to the request, in arrival order across the end of the storage,
// and nothing past it; a read of 0 copies nothing; the read side touches no register.
TEST_F(Rings, ReadsTakeWhatIsThereInArrivalOrder) {
    port.rxTail = port.rxHead = 8190;
    fake::Receive(port, 30);
    std::vector<std::uint8_t> out(100, 0xEE);
    EXPECT_EQ(Read(out.data(), 0), 0u);
    EXPECT_EQ(port.rxCount, 30u);
    EXPECT_EQ(Read(out.data(), 20), 20u);
    EXPECT_EQ(Read(out.data() + 20, 100), 10u);
    EXPECT_EQ(Read(out.data(), 100), 0u);
    std::vector<std::uint8_t> expected(30);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 30), expected);
    EXPECT_EQ(out[30], 0xEE);
    EXPECT_EQ(port.rxTail, 28u);
    EXPECT_TRUE(fake::RingsConsistent(port));
    EXPECT_TRUE(regs.Log().empty());
}

// A write takes what fits (10000 into an empty ring: 8192), wraps the head and kicks an idle
// transmitter, also for 0 bytes; a full ring takes nothing and writes no register; an active
// transmitter is not kicked.
TEST_F(Rings, WritesTakeTheFreeRoomAndKickAnIdleTransmitter) {
    std::vector<std::uint8_t> data(10000);
    std::iota(data.begin(), data.end(), 0);
    const std::vector<fake::Access> kick = {W(IER, Ier::None, 2), W(IER, Ier::All, 2)};
    struct Step {
        std::uint32_t length, taken, txActive;
        bool kicked;
    };
    const Step steps[] = {{0, 0, 0, true}, {10000, 8192, 0, true}, {1, 0, 0, false}};
    for (const Step& step : steps) {
        regs.ClearLog();
        port.txActive = step.txActive;
        std::uint32_t count = 77;
        WritePort(2, data.data(), step.length, &count);
        EXPECT_EQ(count, step.taken);
        EXPECT_EQ(regs.Log(), step.kicked ? kick : std::vector<fake::Access>{});
    }
    EXPECT_EQ(port.txHead, 0u);
    EXPECT_EQ(port.txRing[8191], static_cast<std::uint8_t>(8191));
    port.txCount = 8000;
    port.txTail = 192;
    port.txActive = 1;
    regs.ClearLog();
    std::uint32_t count = 0;
    WritePort(2, data.data(), 500, &count);
    EXPECT_EQ(count, 192u);
    EXPECT_TRUE(regs.Log().empty());
    EXPECT_TRUE(fake::RingsConsistent(port));
}

}  // namespace
