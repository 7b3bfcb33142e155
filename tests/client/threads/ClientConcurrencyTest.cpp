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
    testsupport::Script(Wiring(0, 0));
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

}  // namespace
