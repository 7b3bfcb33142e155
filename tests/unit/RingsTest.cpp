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

    // What the receive service would have left: count bytes stored from rxHead on.
    void Receive(std::uint32_t count, std::uint8_t first = 0) {
        for (std::uint32_t i = 0; i < count; ++i) {
            port.rxRing[port.rxHead] = static_cast<std::uint8_t>(first + i);
            port.rxHead = (port.rxHead + 1) % RingSize;
        }
        port.rxCount += count;
    }
};

TEST_F(Rings, ReadTakesWhatIsThereUpToTheRequest) {
    Receive(30);
    std::vector<std::uint8_t> out(100, 0xEE);
    std::uint32_t count = 12345;
    ReadPort(2, out.data(), 100, &count);
    EXPECT_EQ(count, 30u);
    EXPECT_EQ(port.rxCount, 0u);
    EXPECT_EQ(port.rxTail, 30u);
    for (std::uint32_t i = 0; i < 30; ++i) {
        EXPECT_EQ(out[i], i);
    }
    EXPECT_EQ(out[30], 0xEE) << "nothing is written past the bytes read";
    EXPECT_TRUE(fake::RingsConsistent(port));
    EXPECT_TRUE(regs.Log().empty()) << "the read side touches no register";
}

TEST_F(Rings, ReadStopsAtTheRequestedLength) {
    Receive(50);
    std::uint8_t out[20];
    std::uint32_t count = 0;
    ReadPort(2, out, 20, &count);
    EXPECT_EQ(count, 20u);
    EXPECT_EQ(port.rxCount, 30u);
    EXPECT_EQ(out[19], 19);
    ReadPort(2, out, 20, &count);
    EXPECT_EQ(out[0], 20) << "the next read goes on where the last stopped";
    EXPECT_TRUE(fake::RingsConsistent(port));
}

TEST_F(Rings, ReadAcrossTheEndOfTheStorageKeepsArrivalOrder) {
    port.rxTail = port.rxHead = 8190;
    Receive(5, 100);
    std::uint8_t out[8] = {};
    std::uint32_t count = 0;
    ReadPort(2, out, 8, &count);
    ASSERT_EQ(count, 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 5),
              (std::vector<std::uint8_t>{100, 101, 102, 103, 104}));
    EXPECT_EQ(port.rxTail, 3u);
    EXPECT_TRUE(fake::RingsConsistent(port));
}

TEST_F(Rings, ZeroLengthReadCopiesNothingAndResetsTheCount) {
    Receive(7);
    std::uint8_t out[1] = {0xEE};
    std::uint32_t count = 99;
    ReadPort(2, out, 0, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(port.rxCount, 7u);
    EXPECT_EQ(port.rxTail, 0u);

    port.rxCount = 0;
    port.rxTail = port.rxHead;
    count = 99;
    ReadPort(2, out, 1, &count);
    EXPECT_EQ(count, 0u) << "an empty ring reports 0 at once";
}

TEST_F(Rings, WriteFillsTheRingAndKicksAnIdleTransmitter) {
    std::vector<std::uint8_t> data(10000);
    std::iota(data.begin(), data.end(), 0);
    std::uint32_t count = 0;
    WritePort(2, data.data(), 10000, &count);
    EXPECT_EQ(count, 8192u);
    EXPECT_EQ(port.txCount, 8192u);
    EXPECT_EQ(port.txHead, 0u) << "8192 bytes wrap the head to 0";
    EXPECT_EQ(port.txRing[8191], static_cast<std::uint8_t>(8191));
    EXPECT_EQ(regs.Log(), (std::vector<fake::Access>{
                              W(IER, Ier::None, 2),  // enables off ...
                              W(IER, Ier::All, 2),   // ... and on: the channel raises THR empty
                          }));
    EXPECT_TRUE(fake::RingsConsistent(port));

    regs.ClearLog();
    count = 77;
    WritePort(2, data.data(), 1, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(regs.Log().empty()) << "a full ring takes nothing and writes no register";
}

TEST_F(Rings, WriteTakesOnlyTheFreeRoomAndWraps) {
    port.txTail = port.txHead = 8000;
    port.txCount = 8000;  // 192 free
    port.txHead = (port.txTail + 8000) % RingSize;
    std::vector<std::uint8_t> data(500, 0x5A);
    std::uint32_t count = 0;
    WritePort(2, data.data(), 500, &count);
    EXPECT_EQ(count, 192u);
    EXPECT_EQ(port.txCount, RingSize);
    EXPECT_TRUE(fake::RingsConsistent(port));
}

TEST_F(Rings, ZeroLengthWriteStillKicks) {
    std::uint32_t count = 5;
    WritePort(2, nullptr, 0, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(regs.Log(), (std::vector<fake::Access>{W(IER, Ier::None, 2), W(IER, Ier::All, 2)}));
}

TEST_F(Rings, NoKickWhileTheTransmitterIsActive) {
    port.txActive = 1;
    const std::uint8_t data[3] = {1, 2, 3};
    std::uint32_t count = 0;
    WritePort(2, data, 3, &count);
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(regs.Log().empty());
}

TEST_F(Rings, PortIndexWithoutARecordTouchesNothing) {
    std::uint8_t buffer[4] = {9, 9, 9, 9};
    for (const std::uint8_t index : {std::uint8_t{0}, std::uint8_t{7}, std::uint8_t{8},
                                     std::uint8_t{255}}) {
        std::uint32_t count = 42;
        ReadPort(index, buffer, 4, &count);
        EXPECT_EQ(count, 0u) << int(index);
        count = 42;
        WritePort(index, buffer, 4, &count);
        EXPECT_EQ(count, 0u) << int(index);
    }
    EXPECT_EQ(buffer[0], 9);
    EXPECT_TRUE(regs.Log().empty());
}

}  // namespace
