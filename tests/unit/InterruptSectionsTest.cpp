// Which register accesses of the port engine happen with interrupts disabled. A device that notes
// the calling thread's interrupt state at every access stands in for the board.
#include <gtest/gtest.h>

#include <vector>

#include "hw/BoardClock.h"
#include "hw/LineDriver.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/Isr.h"
#include "port/LineSignals.h"
#include "port/PortOps.h"
#include "tests/support/TestPorts.h"

namespace {

class SectionProbe final : public host::RegisterDevice {
public:
    struct Access {
        std::uint32_t offset;
        bool disabled;
    };

    SectionProbe() : base_(host::MapRegisterDevice(this, 8 * ChannelWindowSize)) {}
    ~SectionProbe() override { host::UnmapRegisterDevice(base_); }
    SectionProbe(const SectionProbe&) = delete;
    SectionProbe& operator=(const SectionProbe&) = delete;

    ChannelRegs* Window(std::uint32_t channel) const {
        return reinterpret_cast<ChannelRegs*>(static_cast<std::uint8_t*>(base_) +
                                              channel * ChannelWindowSize);
    }

    std::uint8_t Load(std::uint32_t offset) override {
        accesses.push_back({offset % ChannelWindowSize, host::InterruptsDisabledOnThisThread()});
        return offset % ChannelWindowSize == RxLevel ? 3 : 0;  // three bytes waiting, steadily
    }
    void Store(std::uint32_t offset, std::uint8_t) override {
        accesses.push_back({offset % ChannelWindowSize, host::InterruptsDisabledOnThisThread()});
    }

    bool AllDisabled() const {
        for (const Access& access : accesses) {
            if (!access.disabled) return false;
        }
        return !accesses.empty();
    }

    std::vector<Access> accesses;

private:
    void* base_;
};

class InterruptSections : public ::testing::Test {
protected:
    void SetUp() override {
        boardClockHz = 14'745'600;
        pinsReady = true;
        port.hasLineDriverControl = 1;
    }
    void TearDown() override {
        boardClockHz = 0;
        pinsReady = false;
    }

    SectionProbe board;
    fake::TestPorts ports;
    PortRecord& port = ports.Add(1, board.Window(1));
};

TEST_F(InterruptSections, PortOperationsHoldOneSectionFromFirstAccessToLast) {
    LineConfig config{};
    config.baudRate = 9600;
    config.parity = 'n';
    config.stopBits = 1;
    config.dataBits = 8;
    config.softwareFlow = 1;
    config.flowControl = 0x0F;
    config.lineMode = 2;
    const auto* data = reinterpret_cast<const std::uint8_t*>(&config);

    OpenPort(1);
    EXPECT_TRUE(board.AllDisabled()) << "OpenPort";
    board.accesses.clear();
    EXPECT_EQ(SetPortConfig(1, data), 0u);
    EXPECT_TRUE(board.AllDisabled()) << "SetPortConfig";
    for (const std::uint32_t active : {0u, 1u}) {
        board.accesses.clear();
        port.txActive = active;
        ClosePort(1);
        EXPECT_TRUE(board.AllDisabled()) << "ClosePort, txActive " << active;
    }
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
}

TEST_F(InterruptSections, BreakAndLineDriverStepsRunTheirWorkDisabled) {
    SetBreak(&port);
    EXPECT_TRUE(board.AllDisabled()) << "SetBreak";
    board.accesses.clear();
    ClearBreak(&port);
    EXPECT_TRUE(board.AllDisabled()) << "ClearBreak";
    board.accesses.clear();
    SetLineDriverMode(&port, 1);
    ASSERT_GT(board.accesses.size(), 2u);
    for (std::size_t i = 2; i < board.accesses.size(); ++i) {
        EXPECT_EQ(board.accesses[i].offset, PinLevel);
        EXPECT_TRUE(board.accesses[i].disabled) << "pin access " << i;
    }
    EXPECT_FALSE(host::InterruptsDisabledOnThisThread());
}

// Run outside the interrupt context, the receive service shows its sections: each FIFO byte is
// read in one, the level and LSR reads are not.
TEST_F(InterruptSections, ReceiveServiceReadsEachFifoByteInItsOwnSection) {
    ReceiveService(1);
    std::size_t fifoReads = 0;
    for (const SectionProbe::Access& access : board.accesses) {
        const bool fifo = access.offset >= FifoWindow;
        fifoReads += fifo ? 1 : 0;
        EXPECT_EQ(access.disabled, fifo) << "offset " << access.offset;
    }
    EXPECT_EQ(fifoReads, 3u);
    EXPECT_EQ(port.rxCount, 3u);
}

}  // namespace
