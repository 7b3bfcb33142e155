// One port driven through several devices at once: a block's portIndex may name any port, so the
// service threads of other devices reach it too. The running machine moves the bytes while two
// writers and two readers, each with a block of its own, go through the dispatch on the same ports:
// unpaced lines as fast as the FIFOs allow, paced ones at the baud rate with the interrupt service
// thread keeping the board's time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Rtss.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"
#include "server/PortRequestLock.h"
#include "tests/support/EngineBoard.h"

namespace {

using testsupport::EngineBoard;
using testsupport::Line;

constexpr std::uint8_t Sender = 0;
constexpr std::uint8_t Receiver = 1;
constexpr std::uint32_t BytesPerWriter = 128 * 512;
// Bytes written and not yet read stay below this (each writer may pass it by one request), so the
// receive ring never has to drop one.
constexpr std::uint32_t InFlightLimit = RingSize - 4096;

// A device's block and data area as its service thread hands them to the dispatch.
class Client {
public:
    Client() : data_(DefaultDataAreaSize), view_{"", 0, data_.data(), DefaultDataAreaSize} {}

    // Serves one request on `port`, then checks both rings of the port while no other request
    // and no interrupt service runs: head = (tail + count) mod RingSize.
    std::uint32_t Request(EngineBoard& engine, std::uint32_t code, std::uint8_t port,
                          std::uint32_t length, const ChannelView* view = nullptr) {
        part_.requestCode = code;
        part_.portIndex = port;
        part_.dataLength = length;
        EXPECT_EQ(DispatchRequest(&part_, view != nullptr ? view : &view_), RequestDone);
        LockPortRequests(port);
        const InterruptState state = DisableInterrupts();
        const PortRecord& record = engine.Port(port);
        ringsWhole_ = ringsWhole_ && record.rxHead == (record.rxTail + record.rxCount) % RingSize &&
                      record.txHead == (record.txTail + record.txCount) % RingSize;
        RestoreInterrupts(state);
        UnlockPortRequests(port);
        return part_.resultCount;
    }
    std::uint8_t* Data() { return data_.data(); }
    bool RingsWhole() const { return ringsWhole_; }

private:
    RequestPart part_{};
    std::vector<std::uint8_t> data_;
    ChannelView view_;
    bool ringsWhole_ = true;
};

// Writer w sends 0x00-0x7F (w = 0) or 0x80-0xFF (w = 1) counting up, so each writer's bytes can be
// told apart in what arrives.
std::uint8_t WriterByte(std::uint32_t writer, std::uint32_t i) {
    return static_cast<std::uint8_t>(writer * 0x80 + i % 0x80);
}

TEST(SharedPort, TwoDevicesOnOnePortMoveEveryByteOnceAndKeepTheRingsWhole) {
    for (const char* pace : {"0", "1"}) {
        SCOPED_TRACE(std::string("pace ") + pace);
        EngineBoard engine(sim::DefaultDescriptionText(pace), EngineBoard::Mode::Running);
        ASSERT_EQ(engine.Failure(), "");
        const LineConfig line = Line({.baudRate = 921600, .flowControl = FlowControl::RtsCts});
        ASSERT_TRUE(engine.Open(Sender, line));
        ASSERT_TRUE(engine.Open(Receiver, line));
        std::atomic<std::uint32_t> written{0};
        std::atomic<std::uint32_t> read{0};
        Client writerClients[2];
        Client readerClients[2];
        std::uint32_t seen[2][256] = {};  // each reader's count of every byte value

        std::vector<std::thread> threads;
        for (std::uint32_t w = 0; w < 2; ++w) {
            threads.emplace_back([&, w] {
                std::uint32_t sent = 0;
                const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (sent < BytesPerWriter && std::chrono::steady_clock::now() < guard) {
                    const std::uint32_t inFlight = written.load() - read.load();
                    const std::uint32_t room =
                        inFlight < InFlightLimit ? InFlightLimit - inFlight : 0;
                    const std::uint32_t length = std::min({room, 1000u, BytesPerWriter - sent});
                    for (std::uint32_t i = 0; i < length; ++i) {
                        writerClients[w].Data()[i] = WriterByte(w, sent + i);
                    }
                    // Taken from the count before sending: a reader may see the bytes at once.
                    written += length;
                    const std::uint32_t taken =
                        length == 0 ? 0
                                    : writerClients[w].Request(engine, SerialWrite, Sender, length);
                    written -= length - taken;
                    sent += taken;
                    if (taken == 0) std::this_thread::yield();
                }
            });
        }
        for (std::uint32_t r = 0; r < 2; ++r) {
            threads.emplace_back([&, r] {
                const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (read.load() < 2 * BytesPerWriter &&
                       std::chrono::steady_clock::now() < guard) {
                    const std::uint32_t count =
                        readerClients[r].Request(engine, SerialRead, Receiver, 700);
                    if (count == 0) {
                        std::this_thread::yield();
                        continue;
                    }
                    for (std::uint32_t i = 0; i < count; ++i) ++seen[r][readerClients[r].Data()[i]];
                    read += count;
                }
            });
        }
        for (std::thread& thread : threads) thread.join();

        EXPECT_EQ(read.load(), 2 * BytesPerWriter);
        // Every byte value arrived exactly as often as it was sent.
        for (std::uint32_t value = 0; value < 256; ++value) {
            EXPECT_EQ(seen[0][value] + seen[1][value], BytesPerWriter / 0x80) << value;
        }
        for (const Client& client : writerClients) EXPECT_TRUE(client.RingsWhole());
        for (const Client& client : readerClients) EXPECT_TRUE(client.RingsWhole());
        EXPECT_EQ(engine.Port(Receiver).lineErrors.load(), 0);

        // An open through one device resets the rings that a write through another is filling.
        Client opener;
        const std::string name = DeviceNameTable[Sender].deviceName;
        const ChannelView ownName{name.c_str(), static_cast<std::uint32_t>(name.size()),
                                  opener.Data(), DefaultDataAreaSize};
        std::atomic<bool> opening{true};
        std::thread writer([&] {
            while (opening) writerClients[0].Request(engine, SerialWrite, Sender, 8000);
        });
        for (int i = 0; i < 20000; ++i) opener.Request(engine, SerialOpen, Sender, 0, &ownName);
        opening = false;
        writer.join();
        EXPECT_TRUE(opener.RingsWhole());
        EXPECT_TRUE(writerClients[0].RingsWhole());
    }
}

}  // namespace
