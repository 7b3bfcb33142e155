// The request side against a stand-in for the interrupt side, on real threads: every byte arrives
// once and in order, and the run is race-free under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/Rings.h"
#include "tests/support/ScriptedRegisters.h"
#include "tests/support/TestPorts.h"

namespace {

constexpr std::uint32_t BytesPerDirection = 400000;

std::uint8_t Pattern(std::uint32_t i) { return static_cast<std::uint8_t>(i * 7 + (i >> 8)); }

// Plays the interrupt service under the CPU lock: stores received bytes as the receive service
// does (byte and count in one section) and drains the transmit ring as the transmit service does.
void InterruptSide(PortRecord& port, std::atomic<bool>& stop, std::vector<std::uint8_t>& sent) {
    std::uint32_t produced = 0;
    while (!stop) {
        host::EnterInterruptContext();
        for (int burst = 0; burst < 56 && produced < BytesPerDirection; ++burst) {
            const InterruptState state = DisableInterrupts();
            if (port.rxCount.load() < RingSize) {
                port.rxRing[port.rxHead] = Pattern(produced++);
                port.rxCount.store(port.rxCount.load() + 1);
                ++port.rxHead;
            }
            RestoreInterrupts(state);
            if (port.rxHead == RingSize) port.rxHead = 0;
        }
        InterruptState state = DisableInterrupts();
        const std::uint32_t waiting = port.txCount.load();
        port.txActive = waiting != 0 ? 1 : 0;
        RestoreInterrupts(state);
        const std::uint32_t n = waiting < 64 ? waiting : 64;
        for (std::uint32_t i = 0; i < n; ++i) {
            sent.push_back(port.txRing[port.txTail]);
            if (++port.txTail == RingSize) port.txTail = 0;
        }
        state = DisableInterrupts();
        port.txCount.store(port.txCount.load() - n);
        if (port.txCount.load() == 0) port.txActive = 0;
        RestoreInterrupts(state);
        host::LeaveInterruptContext();
        std::this_thread::yield();
    }
}

TEST(RingsConcurrency, EveryByteArrivesOnceAndInOrder) {
    fake::ScriptedRegisters regs;
    fake::TestPorts ports;
    PortRecord& port = ports.Add(0, regs.Window(0));
    std::atomic<bool> stop{false};
    std::vector<std::uint8_t> sent;
    std::thread interrupt(InterruptSide, std::ref(port), std::ref(stop), std::ref(sent));

    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t buffer[997];
        while (received.size() < BytesPerDirection) {
            std::uint32_t count = 0;
            ReadPort(0, buffer, sizeof buffer, &count);
            received.insert(received.end(), buffer, buffer + count);
            if (count == 0) std::this_thread::yield();
        }
    });
    std::thread writer([&] {
        std::vector<std::uint8_t> chunk(1500);
        std::uint32_t next = 0;
        while (next < BytesPerDirection) {
            const std::uint32_t want = std::min<std::uint32_t>(1500, BytesPerDirection - next);
            for (std::uint32_t i = 0; i < want; ++i) chunk[i] = Pattern(next + i);
            std::uint32_t count = 0;
            WritePort(0, chunk.data(), want, &count);
            next += count;
            if (count == 0) std::this_thread::yield();
        }
    });
    reader.join();
    writer.join();
    while (true) {  // let the interrupt side drain what is left
        const InterruptState state = DisableInterrupts();
        const bool empty = port.txCount.load() == 0;
        RestoreInterrupts(state);
        if (empty) break;
        std::this_thread::yield();
    }
    stop = true;
    interrupt.join();

    ASSERT_EQ(received.size(), BytesPerDirection);
    ASSERT_EQ(sent.size(), BytesPerDirection);
    for (std::uint32_t i = 0; i < BytesPerDirection; ++i) {
        ASSERT_EQ(received[i], Pattern(i)) << "received byte " << i;
        ASSERT_EQ(sent[i], Pattern(i)) << "sent byte " << i;
    }
    EXPECT_TRUE(fake::RingsConsistent(port));
}

}  // namespace
