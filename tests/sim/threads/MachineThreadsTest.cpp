// The machine's own threads: the line thread in paced and unpaced time, the interrupt service
// thread of an attached line, and a pty far end driven by a program on the slave side.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Rtss.h"
#include "platform/host/HostMachine.h"
#include "platform/host/HostPlatform.h"
#include "tests/sim/SimFixture.h"

namespace simtest {
namespace {

using namespace sim::reg;
using Clock = std::chrono::steady_clock;

// Waits for a condition that the machine's threads bring about; a generous limit only keeps a
// broken build from hanging.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto limit = Clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (Clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

std::unique_ptr<sim::Machine> RunningMachine(const std::string& description) {
    sim::LoadedMachine loaded = sim::LoadMachine(description, "test", {});
    EXPECT_TRUE(loaded.machine) << loaded.error;
    return std::move(loaded.machine);
}

std::uint8_t Read(sim::Board& board, std::uint32_t channel, std::uint32_t reg) {
    return board.Load(channel * WindowSize + reg);
}

void Write(sim::Board& board, std::uint32_t channel, std::uint32_t reg, std::uint8_t value) {
    board.Store(channel * WindowSize + reg, value);
}

void Configure(sim::Board& board, std::uint32_t channel, std::uint16_t divisor) {
    Write(board, channel, Iir, fcr::Enable | fcr::ResetRx | fcr::ResetTx);
    Write(board, channel, FifoTrigCtl, fifotrig::ProgrammedLevels);
    Write(board, channel, TxLevel, 56);
    Write(board, channel, RxLevel, 56);
    Write(board, channel, Lcr, lcr::Dlab | 0x03);
    Write(board, channel, Rhr, static_cast<std::uint8_t>(divisor & 0xFF));
    Write(board, channel, Ier, static_cast<std::uint8_t>(divisor >> 8));
    Write(board, channel, Lcr, 0x03);
}

constexpr const char* BoardLine =
    "board bus=0 device=3 function=0 device-id=0x0158 subsystem=0x312 irq=5 clock=14745600\n";

TEST(MachineThreads, PacedLineThreadMovesCharactersAndRaisesTheTimeout) {
    auto machine = RunningMachine(std::string(BoardLine) + "channel 0 null-modem 1\npace 1.0\n");
    sim::Board& board = machine->GetBoard(0);
    Configure(board, 0, 1);  // 921600 baud
    Configure(board, 1, 1);
    Write(board, 1, Ier, ier::RxData);
    for (int i = 0; i < 10; ++i) {
        Write(board, 0, FifoWindowStart + static_cast<std::uint32_t>(i), static_cast<std::uint8_t>('0' + i));
    }
    // Nobody touches the board meanwhile: the line thread must wake for the time-out.
    ASSERT_TRUE(Eventually([&] { return board.LineAsserted(); }));
    EXPECT_EQ(Read(board, 1, Iir) & 0x3F, iir::RxTimeout);
    EXPECT_EQ(Read(board, 1, RxLevel), 10);
}

TEST(MachineThreads, UnpacedLinesRunAsFastAsTheFifosAllowAndNeverOverrun) {
    auto machine = RunningMachine(std::string(BoardLine) + "channel 0 null-modem 1\npace 0\n");
    sim::Board& board = machine->GetBoard(0);
    Configure(board, 0, 96);  // 9600 baud: 3 s of line time for these bytes, unpaced
    Configure(board, 1, 96);
    std::string sent;
    std::string received;
    for (int i = 0; i < 3000; ++i) {
        sent.push_back(static_cast<char>(i * 7));
    }
    std::size_t next = 0;
    ASSERT_TRUE(Eventually([&] {
        while (next < sent.size() && Read(board, 0, TxLevel) < 64) {
            Write(board, 0, FifoWindowStart, static_cast<std::uint8_t>(sent[next++]));
        }
        for (std::uint32_t level = Read(board, 1, RxLevel); level > 0; --level) {
            received.push_back(static_cast<char>(Read(board, 1, FifoWindowStart)));
        }
        return received.size() == sent.size();
    }));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(board.ChannelStats(1).overruns, 0u);
    EXPECT_GT(machine->Now(), 3 * sim::PicosecondsPerSecond);  // simulated time ran ahead
}

std::atomic<std::uint32_t> passes{0};
volatile std::uint8_t* board0 = nullptr;

std::uint8_t ReadIirOfChannelZero(void*) {
    ++passes;
    EXPECT_TRUE(host::InterruptsDisabledOnThisThread());
    RtLoadRegister8(board0 + Iir);
    return 1;
}

std::uint8_t ServeNothing(void*) {
    ++passes;
    return 1;
}

class ServiceThread : public ::testing::Test {
protected:
    void SetUp() override {
        host::InstallMachine(RunningMachine(std::string(BoardLine) + "channel 0 open\n"),
                             host::InterruptDelivery::Threads);
        std::uint32_t space = RtValue::MemorySpace;
        std::uint64_t address = 0;
        ASSERT_TRUE(RtTranslateBusAddress(RtValue::PciBus, 0, 0xF0000000, &space, &address));
        board0 = static_cast<volatile std::uint8_t*>(RtMapMemory(address, 4096, RtValue::NotCached));
        ASSERT_NE(board0, nullptr);
        passes = 0;
    }
    void TearDown() override { host::RemoveMachine(); }
};

TEST_F(ServiceThread, RunsTheRoutineWhileTheLineIsAssertedUnderTheCpuLock) {
    ASSERT_NE(RtAttachInterruptVector(nullptr, 0, ReadIirOfChannelZero, nullptr, 127,
                                      RtValue::PciBus, 0, 5, 5),
              nullptr);
    for (int kick = 1; kick <= 5; ++kick) {
        RtStoreRegister8(board0 + Ier, 0);
        RtStoreRegister8(board0 + Ier, ier::TxEmpty);
        ASSERT_TRUE(Eventually([&] { return !host::CurrentMachine().GetBoard(0).LineAsserted(); }));
    }
    EXPECT_GE(passes.load(), 5u);
}

TEST_F(ServiceThread, WaitsForAChangeInsteadOfSpinningOnALineNobodyServes) {
    ASSERT_NE(RtAttachInterruptVector(nullptr, 0, ServeNothing, nullptr, 127, RtValue::PciBus, 0,
                                      5, 5),
              nullptr);
    RtStoreRegister8(board0 + Ier, ier::TxEmpty);
    ASSERT_TRUE(Eventually([&] { return passes.load() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint32_t idle = passes.load();
    EXPECT_LE(idle, 2u);  // a spinning thread would have made millions
    RtStoreRegister8(board0 + Ier, 0);  // the summary changes: the thread looks again
    RtStoreRegister8(board0 + Ier, ier::TxEmpty);
    EXPECT_TRUE(Eventually([&] { return passes.load() > idle; }));
}

TEST(MachineThreads, PtyFarEndExchangesBytesWithAProgramOnTheSlave) {
    const std::string link = ::testing::TempDir() + "quelta-pty-test-link";
    auto machine = RunningMachine(std::string(BoardLine) + "channel 2 pty " + link + "\npace 0\n");
    sim::Board& board = machine->GetBoard(0);
    Configure(board, 2, 8);
    const int slave = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios mode{};
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    ASSERT_EQ(write(slave, "hello", 5), 5);
    std::string received;
    ASSERT_TRUE(Eventually([&] {
        for (std::uint32_t level = Read(board, 2, RxLevel); level > 0; --level) {
            received.push_back(static_cast<char>(Read(board, 2, FifoWindowStart)));
        }
        return received.size() >= 5;
    }));
    EXPECT_EQ(received, "hello");
    for (const char c : std::string("world")) {
        Write(board, 2, FifoWindowStart, static_cast<std::uint8_t>(c));
    }
    std::string back;
    ASSERT_TRUE(Eventually([&] {
        char buffer[16];
        const ssize_t got = read(slave, buffer, sizeof buffer);
        if (got > 0) {
            back.append(buffer, static_cast<std::size_t>(got));
        }
        return back.size() >= 5;
    }));
    EXPECT_EQ(back, "world");
    close(slave);
    machine.reset();
    EXPECT_NE(access(link.c_str(), F_OK), 0);  // the link goes with the machine
}

}  // namespace
}  // namespace simtest
