// Clients of one device at once, threads of this process and a client in another process: the
// device mutex keeps each request, its data and its reply together.
#include <atomic>
#include <thread>

#include "tests/client/LiveServer.h"
#include "tests/support/ChildProcess.h"

namespace {

using namespace clienttest;
using ClientConcurrency = LiveServer;

// A writer and a reader share a handle on a port wired back to itself, while status readers (one
// on that handle, one on its own) and a peer process ask the same device all along.
TEST_F(ClientConcurrency, ClientsOfOneDeviceTakeTurnsWithTheBlock) {
    const Wire wire(0, 0);
    regs_.Set(MSR, 0xB0);
    quelta::Device port("Serial0");
    quelta::Device own("Serial0", {.mode = quelta::OpenMode::Attach});
    std::string sent;
    for (int i = 0; i < 30000; ++i) sent += static_cast<char>(i % 251);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    const auto client = [&](const std::function<void()>& requests) {
        try {
            requests();
        } catch (const quelta::Error&) {
            ++wrong;
        }
    };
    // clang-format off
    std::thread threads[] = {
        std::thread(client, [&] { port.WriteAll(sent, 30s); }),
        std::thread(client, [&] { while (!done) wrong += port.GetModemStatus().raw != 0xB0; }),
        std::thread(client, [&] { while (!done) wrong += own.GetModemStatus().raw != 0xB0; }),
    };
    // clang-format on
    testsupport::ChildProcess peer(QUELTA_PEER_PATH, {"requests", "Serial0", "2000"});
    std::vector<std::uint8_t> received(sent.size());
    client([&] { port.ReadExact(received, 30s); });
    EXPECT_EQ(peer.Wait(30s), 0) << peer.Out();
    done = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::string(received.begin(), received.end()), sent);
    EXPECT_EQ(wrong.load(), 0);
}

// Nothing is lost between a look and a sleep: bytes arrive one at a time, each soon after the
// reader took the one before, after a pause that varies, so that arrivals meet the reader's wait
// at every point (before its first look, between a look and the arming, asleep). A lost wake-up
// leaves the reader asleep to its time-out, which returns nothing.
TEST_F(ClientConcurrency, NothingIsLostBetweenALookAndASleep) {
    quelta::Device port("Serial0", {.driverCheck = 1h});  // no look but the event's wakes it
    constexpr int Bytes = 20000;
    std::atomic<int> taken{0};
    const std::jthread line([&](const std::stop_token& stop) {
        for (int i = 0; i < Bytes && !stop.stop_requested(); ++i) {
            while (taken < i && !stop.stop_requested()) std::this_thread::yield();
            const auto pause = std::chrono::nanoseconds((i * 7919) % 40000);
            for (const auto start = std::chrono::steady_clock::now();
                 std::chrono::steady_clock::now() - start < pause;) {}
            Arrive(0, "x");
        }
    });
    std::vector<std::uint8_t> buffer(2);
    while (taken < Bytes) {
        const std::size_t count = port.ReadSome(buffer, 20s);
        ASSERT_GT(count, 0u) << "asleep with byte " << taken << " in the ring";
        taken += static_cast<int>(count);
    }
}

}  // namespace
