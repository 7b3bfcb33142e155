// Several clients of one device at once: the device mutex must keep each request and its reply
// together, whichever threads or handles they come from.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "client/Device.h"
#include "tests/client/FakeDriver.h"

namespace {

TEST(ClientConcurrency, ClientsOfOneDeviceTakeTurnsWithTheBlock) {
    fake::FakeDriver driver(1);
    std::atomic<int> torn{0};
    // Every write carries its client's id in every byte: a block shared mid-request shows mixed bytes.
    driver.InspectRequests([&](const RequestPart& part, const std::uint8_t* data) {
        if (part.requestCode != SerialWrite) return;
        for (std::uint32_t i = 1; i < part.dataLength; ++i) {
            if (data[i] != data[0]) {
                ++torn;
                return;
            }
        }
    });
    quelta::Device opener("Serial0");
    constexpr int Clients = 4;
    constexpr int Rounds = 200;
    std::atomic<int> wrongReplies{0};
    std::vector<std::thread> clients;
    for (int id = 0; id < Clients; ++id) {
        clients.emplace_back([&, id] {
            // Half the clients have their own handle, half share one between two threads.
            quelta::Device own("Serial0", {.mode = quelta::OpenMode::Attach});
            quelta::Device& port = id % 2 == 0 ? own : opener;
            std::vector<std::uint8_t> data(static_cast<std::size_t>(100 + id), static_cast<std::uint8_t>(id));
            for (int round = 0; round < Rounds; ++round) {
                if (port.Write(data) != data.size()) ++wrongReplies;
                if (port.GetModemControl().raw > 3) ++wrongReplies;
            }
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(wrongReplies.load(), 0);
    std::size_t total = 0;
    driver.WithPort(0, [&](fake::PortModel& model) { total = model.sent.size(); });
    EXPECT_EQ(total, static_cast<std::size_t>(Rounds * (100 + 101 + 102 + 103)));
}

TEST(ClientConcurrency, ReaderAndWriterThreadsShareAHandle) {
    fake::FakeDriver driver(1);
    driver.WithPort(0, [](fake::PortModel& model) { model.wiredTo = 0; });
    quelta::Device port("Serial0");
    constexpr std::size_t Total = 50000;
    std::vector<std::uint8_t> pattern(Total);
    for (std::size_t i = 0; i < Total; ++i) pattern[i] = static_cast<std::uint8_t>(i % 251);
    std::thread writer([&] { port.WriteAll(pattern, std::chrono::seconds(10)); });
    std::vector<std::uint8_t> received(Total);
    port.ReadExact(received, std::chrono::seconds(10));
    writer.join();
    EXPECT_EQ(received, pattern);
}

}  // namespace
