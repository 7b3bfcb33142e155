// The real interrupt service on its own thread, under the CPU lock as the platform runs it,
// against one request thread per port doing what the dispatch does: open, configure, write, read,
// line signals and status. The board is a small thread-safe model whose FIFO levels move while
// they are read. Every byte must arrive once and in order, no FIFO may be overfilled or read past
// its content, and ThreadSanitizer must find no race.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "hw/BoardClock.h"
#include "hw/LineDriver.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "port/Isr.h"
#include "port/LineSignals.h"
#include "port/PortOps.h"
#include "port/Rings.h"
#include "tests/support/TestPorts.h"

namespace {

constexpr std::uint32_t Channels = 8;
constexpr std::uint32_t BytesPerPort = 40'000;
constexpr std::uint32_t InFlightLimit = 6'000;  // below RingSize: the receive ring never overflows

std::uint8_t Pattern(std::uint32_t port, std::uint32_t i) {
    return static_cast<std::uint8_t>(i * 7 + (i >> 8) + port * 31);
}

// Channels wired in pairs 0-1, 2-3, ...: what one sends lands in the other's receive FIFO, paced
// by the peer's room (as hardware flow control would), so no byte is lost on the line itself.
class FakeBoard final : public host::RegisterDevice {
public:
    FakeBoard() : base_(host::MapRegisterDevice(this, Channels * ChannelWindowSize)) {}
    ~FakeBoard() override { host::UnmapRegisterDevice(base_); }
    FakeBoard(const FakeBoard&) = delete;
    FakeBoard& operator=(const FakeBoard&) = delete;

    ChannelRegs* Window(std::uint32_t channel) const {
        return reinterpret_cast<ChannelRegs*>(static_cast<std::uint8_t*>(base_) +
                                              channel * ChannelWindowSize);
    }
    volatile std::uint8_t* Address(RegOffset reg) const {
        return static_cast<volatile std::uint8_t*>(base_) + reg;
    }

    // The far ends of the lines: moves up to one byte per channel.
    void AdvanceLine() {
        const std::lock_guard guard(lock_);
        for (std::uint32_t c = 0; c < Channels; ++c) MoveOneByte(c);
    }

    bool InterruptAsserted() {
        const std::lock_guard guard(lock_);
        return Summary() != 0;
    }

    bool Faulted() {
        const std::lock_guard guard(lock_);
        return overfilled_ || overread_ || outside_;
    }

    std::uint8_t Load(std::uint32_t offset) override {
        const std::lock_guard guard(lock_);
        const RegOffset reg = static_cast<RegOffset>(offset % ChannelWindowSize);
        Channel& ch = channels_[offset / ChannelWindowSize];
        if (reg >= FifoWindow + FifoWindowSize) {
            outside_ = true;  // no register lives past the burst window
            return 0;
        }
        if (reg == IntSummary) return Summary();
        if (reg >= FifoWindow && reg < FifoWindow + FifoWindowSize) {
            if (ch.rx.empty()) {
                overread_ = true;
                return 0;
            }
            const std::uint8_t byte = ch.rx.front();
            ch.rx.pop_front();
            return byte;
        }
        switch (reg) {
        case RHR: {
            if (ch.rx.empty()) return 0;
            const std::uint8_t byte = ch.rx.front();
            ch.rx.pop_front();
            return byte;
        }
        case IIR: {
            const std::uint8_t id = Identify(ch);
            if (id == Iir::TxEmpty) ch.txEmptyPending = false;  // reading it clears it
            return static_cast<std::uint8_t>(0xC0 | id);
        }
        case LSR:
            return static_cast<std::uint8_t>((ch.rx.empty() ? 0 : Lsr::DataReady) |
                                             (ch.tx.empty() ? Lsr::ThrEmpty | Lsr::TxEmpty : 0));
        case MSR: {
            const std::uint8_t value = static_cast<std::uint8_t>(ch.msrLevels | ch.msrChanges);
            ch.msrChanges = 0;
            return value;
        }
        case TxLevel:
            Jitter();
            return static_cast<std::uint8_t>(ch.tx.size());
        case RxLevel:
            Jitter();
            return static_cast<std::uint8_t>(ch.rx.size());
        default:
            return ch.latch[reg % ch.latch.size()];
        }
    }

    void Store(std::uint32_t offset, std::uint8_t value) override {
        const std::lock_guard guard(lock_);
        const std::uint32_t index = offset / ChannelWindowSize;
        const RegOffset reg = static_cast<RegOffset>(offset % ChannelWindowSize);
        Channel& ch = channels_[index];
        if (reg >= FifoWindow + FifoWindowSize) {
            outside_ = true;
            return;
        }
        if (reg >= FifoWindow && reg < FifoWindow + FifoWindowSize) {
            if (ch.tx.size() >= FifoDepth) {
                overfilled_ = true;
                return;
            }
            ch.tx.push_back(value);
            ch.txEmptyPending = false;
            return;
        }
        const bool divisorAccess = (ch.latch[LCR] & Lcr::DivisorAccess) != 0;
        switch (reg) {
        case IER:
            if (divisorAccess) break;
            // Turning the THR-empty enable on while the transmitter has room raises it.
            if ((value & ~ch.ier & 0x02) != 0 && ch.tx.size() < FifoDepth) ch.txEmptyPending = true;
            ch.ier = value;
            break;
        case FCR:
            if ((value & 0x02) != 0) ch.rx.clear();
            if ((value & 0x04) != 0) ch.tx.clear();
            break;
        case MCR: {
            // DTR drives the peer's DSR, RTS its CTS; a change raises the peer's modem status.
            Channel& peer = channels_[index ^ 1];
            const std::uint8_t levels = static_cast<std::uint8_t>(
                ((value & Mcr::Dtr) != 0 ? Msr::Dsr : 0) | ((value & Mcr::Rts) != 0 ? Msr::Cts : 0));
            const std::uint8_t changed = static_cast<std::uint8_t>(levels ^ peer.msrLevels);
            peer.msrChanges = static_cast<std::uint8_t>(peer.msrChanges |
                                                        ((changed & Msr::Dsr) != 0 ? Msr::DeltaDsr : 0) |
                                                        ((changed & Msr::Cts) != 0 ? Msr::DeltaCts : 0));
            peer.msrLevels = levels;
            ch.latch[MCR] = value;
            break;
        }
        case TxLevel:
        case RxLevel:
            break;  // trigger levels: the model raises receive interrupts at any level
        default:
            ch.latch[reg % ch.latch.size()] = value;
        }
    }

private:
    struct Channel {
        std::deque<std::uint8_t> tx, rx;
        std::uint8_t ier = 0;
        bool txEmptyPending = false;
        std::uint8_t msrLevels = 0;
        std::uint8_t msrChanges = 0;
        std::array<std::uint8_t, 0x100> latch{};
    };

    std::uint8_t Identify(const Channel& ch) const {
        if ((ch.ier & 0x01) != 0 && !ch.rx.empty()) {
            return ch.rx.size() >= 8 ? Iir::RxData : Iir::RxTimeout;
        }
        if ((ch.ier & 0x02) != 0 && ch.txEmptyPending) return Iir::TxEmpty;
        if ((ch.ier & 0x08) != 0 && ch.msrChanges != 0) return Iir::ModemStatus;
        return Iir::NonePending;
    }

    std::uint8_t Summary() const {
        std::uint8_t summary = 0;
        for (std::uint32_t c = 0; c < Channels; ++c) {
            if (Identify(channels_[c]) != Iir::NonePending) {
                summary = static_cast<std::uint8_t>(summary | (1U << c));
            }
        }
        return summary;
    }

    void MoveOneByte(std::uint32_t c) {
        Channel& ch = channels_[c];
        Channel& peer = channels_[c ^ 1];
        if (ch.tx.empty() || peer.rx.size() >= FifoDepth) return;
        peer.rx.push_back(ch.tx.front());
        ch.tx.pop_front();
        if (ch.tx.empty() && (ch.ier & 0x02) != 0) ch.txEmptyPending = true;
    }

    // Every third level read finds the line a byte further, so readings often disagree.
    void Jitter() {
        if (++levelReads_ % 3 == 0) {
            for (std::uint32_t c = 0; c < Channels; ++c) MoveOneByte(c);
        }
    }

    std::mutex lock_;
    std::array<Channel, Channels> channels_{};
    std::uint64_t levelReads_ = 0;
    bool overfilled_ = false;
    bool overread_ = false;
    bool outside_ = false;
    void* base_;
};

LineConfig Config(std::int32_t baud) {
    LineConfig config{};
    config.baudRate = baud;
    config.parity = 'n';
    config.stopBits = 1;
    config.dataBits = 8;
    return config;
}

const std::uint8_t* Bytes(const LineConfig& config) {
    return reinterpret_cast<const std::uint8_t*>(&config);
}

// One streaming port's request thread: sends its pattern, takes the peer's, keeps the lines busy.
struct StreamPort {
    std::uint8_t index;
    std::atomic<std::uint32_t> received{0};
    std::uint32_t mismatches = 0;
};

void Stream(StreamPort& self, const StreamPort& peer, std::barrier<>& start,
            const std::atomic<bool>& abandon) {
    PortRecord* port = FindPort(self.index);
    OpenPort(self.index);
    const LineConfig config = Config(115'200);
    EXPECT_EQ(SetPortConfig(self.index, Bytes(config)), 0u);
    start.arrive_and_wait();

    std::vector<std::uint8_t> chunk(700);
    std::uint8_t buffer[500];
    std::uint32_t sent = 0;
    for (std::uint32_t round = 0;
         (sent < BytesPerPort || self.received < BytesPerPort) && !abandon; ++round) {
        if (sent < BytesPerPort && sent - peer.received.load() < InFlightLimit) {
            const std::uint32_t want = std::min<std::uint32_t>(
                {static_cast<std::uint32_t>(chunk.size()), BytesPerPort - sent,
                 InFlightLimit - (sent - peer.received.load())});
            for (std::uint32_t i = 0; i < want; ++i) chunk[i] = Pattern(self.index, sent + i);
            std::uint32_t count = 0;
            WritePort(self.index, chunk.data(), want, &count);
            sent += count;
        }
        std::uint32_t count = 0;
        ReadPort(self.index, buffer, sizeof buffer, &count);
        const std::uint32_t first = self.received;
        for (std::uint32_t i = 0; i < count; ++i) {
            self.mismatches += buffer[i] != Pattern(peer.index, first + i) ? 1 : 0;
        }
        self.received.store(first + count);

        switch (round % 16) {
        case 3: SetDtr(port); break;
        case 5: SetRts(port); break;
        case 7: (void)ReadModemStatus(port); (void)ReadLineStatus(port); break;
        case 9: (void)ReadModemControl(port); (void)ReadRxCount(port); break;
        case 11: ClearDtr(port); ClearRts(port); break;
        case 13: SetBreak(port); ClearBreak(port); break;
        case 15: (void)ReadLineErrors(port); break;
        default: break;
        }
        if (count == 0) std::this_thread::yield();
    }
}

// A pair of ports that open, configure (also with refused settings), write, read and close over
// and over while the others stream: their sections interleave with the service of the others.
void Churn(std::uint8_t index, const std::atomic<bool>& stop) {
    std::uint8_t buffer[64] = {};
    for (std::uint32_t round = 0; !stop; ++round) {
        OpenPort(index);
        LineConfig config = Config(round % 4 == 0 ? 0 : 9'600);  // every fourth is refused
        config.lineMode = static_cast<std::uint8_t>(round % 4);
        config.flowControl = static_cast<std::uint8_t>(round % 16);
        config.softwareFlow = round % 2;
        SetPortConfig(index, Bytes(config));
        std::uint32_t count = 0;
        WritePort(index, buffer, sizeof buffer, &count);
        for (int i = 0; i < 20; ++i) {
            ReadPort(index, buffer, sizeof buffer, &count);
            std::this_thread::yield();
        }
        ClosePort(index);
    }
}

TEST(IsrConcurrency, EveryByteArrivesOnceAndInOrder) {
    boardClockHz = 14'745'600;
    pinsReady = false;
    FakeBoard board;
    fake::TestPorts ports;
    for (std::uint8_t c = 0; c < 6; ++c) {
        PortRecord& port = ports.Add(c, board.Window(c));
        port.hasLineDriverControl = c >= 4 ? 1 : 0;
    }
    IsrContext context{board.Address(IntSummary), board.Address(PinLevel), 1};

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> services{0};
    std::thread interrupt([&] {
        while (!stop) {
            if (!board.InterruptAsserted()) {
                std::this_thread::yield();
                continue;
            }
            host::EnterInterruptContext();
            InterruptService(&context);
            host::LeaveInterruptContext();
            ++services;
        }
    });
    std::thread line([&] {
        while (!stop) {
            board.AdvanceLine();
            std::this_thread::yield();
        }
    });
    std::atomic<bool> churnStop{false};
    std::thread churn4(Churn, std::uint8_t{4}, std::cref(churnStop));
    std::thread churn5(Churn, std::uint8_t{5}, std::cref(churnStop));

    std::array<StreamPort, 4> streams;
    for (std::uint8_t p = 0; p < 4; ++p) streams[p].index = p;
    std::barrier start(4);
    std::atomic<bool> abandon{false};
    std::vector<std::thread> requests;
    for (std::uint8_t p = 0; p < 4; ++p) {
        requests.emplace_back(Stream, std::ref(streams[p]), std::cref(streams[p ^ 1]),
                              std::ref(start), std::cref(abandon));
    }
    // A lost byte or a lost transmit kick would leave a reader waiting for ever: the test gives
    // up, and fails, when nothing at all has moved for a long while or the board saw a fault.
    auto progress = [&] {
        std::uint64_t total = 0;
        for (const StreamPort& stream : streams) total += stream.received;
        return total;
    };
    bool stalled = false;
    std::uint64_t last = progress();
    for (int idle = 0; progress() < 4ULL * BytesPerPort && !board.Faulted(); ++idle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (progress() != last) {
            last = progress();
            idle = 0;
        } else if (idle == 600) {
            stalled = true;
            break;
        }
    }
    abandon = true;
    for (std::thread& thread : requests) thread.join();
    EXPECT_FALSE(stalled) << "bytes stopped moving: lost on the way or a transmitter never kicked";
    churnStop = true;
    churn4.join();
    churn5.join();
    stop = true;
    interrupt.join();
    line.join();

    for (const StreamPort& stream : streams) {
        EXPECT_EQ(stream.received, BytesPerPort) << "port " << int(stream.index);
        EXPECT_EQ(stream.mismatches, 0u) << "port " << int(stream.index);
        PortRecord* port = FindPort(stream.index);
        EXPECT_EQ(port->lineErrors, 0) << "port " << int(stream.index) << ": nothing dropped";
        EXPECT_EQ(port->txCount, 0u);
        EXPECT_TRUE(fake::RingsConsistent(*port));
    }
    EXPECT_FALSE(board.Faulted()) << "a FIFO was overfilled or read past its content, or a burst left the window";
    EXPECT_GT(services.load(), 0u);
    boardClockHz = 0;
    pinsReady = false;
}

}  // namespace
