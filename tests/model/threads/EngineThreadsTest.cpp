// The port engine on a running machine: simulated time paced by the wall clock, the line thread
// and the interrupt service thread working while the test thread writes and reads the rings.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "tests/model/EngineFixture.h"

namespace modeltest {
namespace {

std::string Stream(std::size_t length, std::uint32_t seed) {
    std::string bytes;
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes.push_back(static_cast<char>(state >> 24));
    }
    return bytes;
}

// Automatic RTS/CTS keeps each receive FIFO from overflowing however late the interrupt
// service comes; the clients keep each receive ring from overflowing by leaving at most a
// ring's worth less 1024 bytes unread, as a protocol with acknowledgements would (the driver
// drops what a full ring cannot take). So nothing may be lost at any speed, sanitizers included.
TEST(EngineThreads, AllEightChannelsFullDuplexLoseNothing) {
    EngineOnModel engine(std::string(EightNullModem) + "pace 1.0\n", EngineOnModel::Mode::Running);
    for (std::uint8_t port = 0; port < 8; ++port) {
        ASSERT_TRUE(engine.Open(port, Line{921600, 'n', 8, 1, 0x03}));
    }
    constexpr std::size_t Length = 12000;
    constexpr std::size_t Window = RingSize - 1024;
    std::array<std::string, 8> sent;
    std::array<std::string, 8> received;
    std::array<std::size_t, 8> written{};
    for (std::uint8_t port = 0; port < 8; ++port) {
        sent[port] = Stream(Length, port + 1u);
    }
    const bool done = engine.PumpUntil(
        [&] {
            bool all = true;
            for (std::uint8_t port = 0; port < 8; ++port) {
                const std::size_t unread = written[port] - received[port ^ 1u].size();
                const std::size_t allowed = std::min(Length - written[port], Window - unread);
                written[port] += engine.Write(port, sent[port].data() + written[port], allowed);
                received[port] += engine.ReadAvailable(port);
                all = all && received[port].size() >= Length;
            }
            return all;
        },
        0);
    EXPECT_TRUE(done);
    for (std::uint8_t port = 0; port < 8; ++port) {
        EXPECT_TRUE(received[port] == sent[port ^ 1u]) << "port " << int{port};
        EXPECT_EQ(engine.Port(port).lineErrors.load(), 0) << "port " << int{port};
        EXPECT_EQ(engine.Board().ChannelStats(port).overruns, 0u) << "port " << int{port};
    }
}

TEST(EngineThreads, PtyFarEndExchangesBytesWithAProgramThatOpensIt) {
    const std::string link = ::testing::TempDir() + "quelta-engine-pty";
    EngineOnModel engine(
        "board bus=0 device=3 function=0 device-id=0x0152 subsystem=0x310 irq=5 clock=14745600\n"
        "channel 1 pty " + link + "\npace 1.0\n",
        EngineOnModel::Mode::Running);
    ASSERT_TRUE(engine.Open(1, Line{115200}));
    const int slave = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    termios mode{};
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);

    const std::string toDriver = "AT+QUELTA?\r\n";
    ASSERT_EQ(write(slave, toDriver.data(), toDriver.size()), static_cast<ssize_t>(toDriver.size()));
    std::string atPort;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            atPort += engine.ReadAvailable(1);
            return atPort.size() >= toDriver.size();
        },
        0));
    EXPECT_EQ(atPort, toDriver);

    const std::string toProgram = "OK\r\n";
    engine.WriteAll(1, toProgram);
    std::string atProgram;
    EXPECT_TRUE(engine.PumpUntil(
        [&] {
            char buffer[64];
            const ssize_t got = read(slave, buffer, sizeof buffer);
            if (got > 0) {
                atProgram.append(buffer, static_cast<std::size_t>(got));
            }
            return atProgram.size() >= toProgram.size();
        },
        0));
    EXPECT_EQ(atProgram, toProgram);
    close(slave);
}

}  // namespace
}  // namespace modeltest
