// A Quelta board: its BAR0 region of 512-byte channel windows, the board-wide device block
// (interrupt summary, EEPROM, pins), the UART channels and the lines wired to them.
//
// One mutex guards the whole board: register accesses come from the driver's interrupt service
// thread and its request threads, and time from the line thread, all at once. Every access and
// every batch of line events brings the board up to the current simulated time first and ends
// in Update(), the one routine that decides interrupt identification, IntSummary and the line.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/Channel.h"
#include "sim/Clock.h"
#include "sim/Eeprom.h"
#include "sim/PinDecoder.h"
#include "sim/RegisterDevice.h"
#include "sim/Trace.h"

namespace sim {

constexpr std::uint32_t MaxChannels = 8;

// The board's PCI identity and what its EEPROM holds, as the machine description gives them.
struct BoardIdentity {
    std::uint32_t index = 0;  // boards counted in description order, for the trace
    std::uint32_t bus = 0;
    std::uint32_t device = 0;
    std::uint32_t function = 0;
    std::uint16_t vendor = 0x13A8;
    std::uint16_t deviceId = 0x0158;
    std::uint16_t subsystemVendor = 0x12C4;
    std::uint16_t subsystemId = 0x0312;
    std::uint8_t irq = 0;
    std::uint32_t bar0 = 0;
    std::uint32_t clockHz = 14'745'600;  // the UART input clock on the board
    std::array<std::uint16_t, Eeprom::WordCount> eeprom{};
};

// Bytes of BAR0 region, by Device ID: 2, 4, 8 and 8 windows; 8 for any other ID.
std::uint32_t RegionLengthFor(std::uint16_t deviceId);

// The board's interrupt output, as the platform's interrupt line listens to it. A sink that keeps
// the board's time (paced time only) brings the board to the present itself (Advance) whenever
// PlannedWake() comes, so that an interrupt falling due reaches the thread that serves it without
// a hand-off from another thread: the machine's line thread then leaves the board alone. Both
// calls come with the board's lock held and must not touch the board.
class InterruptSink {
public:
    // IntSummary changed.
    virtual void SummaryChanged() = 0;
    // An access brought PlannedWake() forward: a sink that keeps time must look again.
    virtual void WakeEarlier() = 0;

protected:
    ~InterruptSink() = default;
};

struct BoardCounters {
    std::uint64_t loads = 0;
    std::uint64_t stores = 0;
    std::uint64_t burstReads = 0;   // bytes read through a FifoWindow
    std::uint64_t burstWrites = 0;  // bytes written through a FifoWindow
};

// A channel's registers as a test sees them: no read side effect is applied.
struct ChannelSnapshot {
    std::uint8_t ier, iir, lcr, mcr, lsr, msr, dll, dlm;
    std::uint8_t fifoTrigCtl, featureCtl, xoffChar, xonChar, turnaround, scratch;
    std::uint32_t txLevel, rxLevel, txTrigger, rxTrigger;
    bool fifosOn;
    bool rtsOut, dtrOut;      // the pins the channel drives
    bool txHeld;              // the transmitter waits for CTS or XON
    bool directionActive;     // RS-485: driving the line
    std::uint8_t driverMode;  // from the pin logic
    LineFormat format;
};

class Board final : public RegisterDevice {
public:
    Board(const BoardIdentity& identity, Clock& clock, Trace* trace);

    const BoardIdentity& Identity() const { return identity_; }
    std::uint32_t RegionLength() const { return regionLength_; }
    std::uint32_t ChannelCount() const { return channelCount_; }

    // Wiring, at machine construction.
    void Wire(std::uint32_t channel, LineKind kind, std::uint32_t peer = 0,
              const std::string& ptyPath = {});
    LineKind KindOf(std::uint32_t channel) const { return farEnds_[channel].kind; }
    const std::string& PtyPathOf(std::uint32_t channel) const { return farEnds_[channel].ptyPath; }
    // keepsTime: the sink brings the board to the present at PlannedWake() (honoured in paced
    // time; unpaced time moves for every board at once on the line thread).
    void SetInterruptSink(InterruptSink* sink, bool keepsTime = false);
    // Whom the board tells when an access brings PlannedWake() forward, unless its sink keeps time.
    void SetWaker(std::function<void()> wake) { wake_ = std::move(wake); }
    bool TimeKeptBySink() const { return timeKeptBySink_.load(std::memory_order_acquire); }

    // RegisterDevice: one byte at an offset of the BAR0 region.
    std::uint8_t Load(std::uint32_t offset) override;
    void Store(std::uint32_t offset, std::uint8_t value) override;

    // Time, for the machine's line thread: brings the board to `now` and returns the simulated
    // time at which it next needs looking at (a change of interrupt state in paced time, any
    // event in unpaced time).
    SimTime Advance(SimTime now);
    SimTime PlannedWake() const { return plannedWake_.load(std::memory_order_acquire); }

    // The interrupt output: asserted while IntSummary is non-zero. No lock, no side effect.
    bool LineAsserted() const { return lineAsserted_.load(std::memory_order_acquire); }
    std::uint8_t Summary();

    // Test hooks. Each brings the board to the current time first.
    ChannelSnapshot Peek(std::uint32_t channel);
    // The far end sends bytes into the channel at the channel's own format and pace; `errors`
    // (reg::lsr Parity/Framing/Break bits) travel with each of them.
    void Inject(std::uint32_t channel, std::span<const std::uint8_t> bytes,
                std::uint8_t errors = 0);
    // The far end holds the line at space for `duration`.
    void InjectBreak(std::uint32_t channel, SimTime duration);
    // Open and pty lines: CTS/DSR/RI/DCD levels the far end drives (reg::msr level bits).
    void SetFarEndModem(std::uint32_t channel, std::uint8_t levels);
    void SetFarEndHonoursRts(std::uint32_t channel, bool honour);
    std::size_t FarEndPending(std::uint32_t channel);
    // Open and pty lines: what the channel sent since the last call.
    std::vector<std::uint8_t> TakeSent(std::uint32_t channel);
    // The next `reads` reads of TxLevel and RxLevel jitter by one, never twice the same in a row.
    void SetUnstableLevels(std::uint32_t channel, std::uint32_t reads);
    ChannelCounters ChannelStats(std::uint32_t channel);
    BoardCounters Counters();
    void ResetCounters();
    std::uint8_t DriverMode(std::uint32_t channel);
    std::vector<std::uint8_t> PinLevelWrites();
    void ClearPinLevelWrites();
    std::uint8_t PinControl(std::uint32_t offset, bool* written = nullptr);
    std::uint32_t PinProtocolErrors();
    void SetEepromFault(Eeprom::DataFault fault);
    std::uint32_t EepromModifyingCommands();

private:
    // Register decode (Board.cpp, ChannelRegisters.cpp).
    std::uint8_t ReadDevice(std::uint32_t reg);
    void WriteDevice(std::uint32_t reg, std::uint8_t value);
    std::uint8_t ReadChannel(std::uint32_t channel, std::uint32_t reg, SimTime now);
    void WriteChannel(std::uint32_t channel, std::uint32_t reg, std::uint8_t value, SimTime now);
    std::uint8_t LineStatus(const Channel& c) const;
    std::uint8_t ReadLevel(Channel& c, std::uint32_t level, bool transmit);

    // The one routine that decides every channel's interrupt identification, the summary and
    // the interrupt line; `changed`: the channels whose state may have changed since it last ran
    // (every other keeps the identification it has).
    static constexpr std::uint32_t AllChannels = (1u << MaxChannels) - 1;
    void Update(std::uint32_t changed = AllChannels);
    std::uint32_t WiredWith(std::uint32_t channel) const;
    std::uint8_t Identify(const Channel& c) const;

    // The line side of a channel (ChannelLine.cpp).
    void RefreshFormat(Channel& c) const;
    std::uint32_t Depth(const Channel& c) const;
    std::uint32_t RxTrigger(const Channel& c) const;
    std::uint32_t TxThreshold(const Channel& c) const;
    bool CanDepart(std::uint32_t channel) const;
    bool LineFree(std::uint32_t channel) const;
    void PushTx(std::uint32_t channel, std::uint8_t value, SimTime now);
    std::optional<std::uint8_t> PopRx(std::uint32_t channel, SimTime now);
    void StartNext(std::uint32_t channel, SimTime now);
    void StartFarEnd(std::uint32_t channel, SimTime now);
    void CompleteShift(std::uint32_t channel, SimTime now);
    void CompleteFarEnd(std::uint32_t channel, SimTime now);
    void Arrive(std::uint32_t channel, std::optional<ReceivedChar> received, SimTime now);
    void QueueFlowChar(std::uint32_t channel, std::uint8_t value, SimTime now);
    void EvaluateReceiveFlow(std::uint32_t channel, SimTime now);
    bool RtsPin(const Channel& c, SimTime now) const;
    void PropagateOutputs(std::uint32_t channel, SimTime now);
    void SetModemInputs(std::uint32_t channel, std::uint8_t levels, SimTime now);
    void LineLevelChanged(std::uint32_t channel, SimTime now);
    bool LineSpaced(std::uint32_t channel, SimTime now) const;
    void TakeBreakChar(std::uint32_t channel, SimTime now);
    void ReleaseSource(std::uint32_t channel, SimTime now);
    int SourceOf(std::uint32_t channel) const;  // channel whose transmitter feeds this receiver
    int DestinationOf(std::uint32_t channel) const;  // channel whose receiver this one feeds

    // Time (BoardTime.cpp).
    void CatchUp(SimTime now);
    SimTime NextEvent(std::uint32_t* channel, int* kind);
    SimTime NextAttention() const;
    SimTime TransmitAttention(std::uint32_t channel) const;
    SimTime ReceiveAttention(std::uint32_t channel) const;
    SimTime ChannelEvent(std::uint32_t channel, int* kind) const;
    void Touch(std::uint32_t channel) {
        touched_ |= 1u << channel;
        staleEvents_ |= 1u << channel;
    }
    void Reschedule();

    BoardIdentity identity_;
    Clock& clock_;
    Trace* trace_;
    std::uint32_t regionLength_;
    std::uint32_t channelCount_;

    std::mutex lock_;
    std::array<Channel, MaxChannels> channels_{};
    std::array<FarEnd, MaxChannels> farEnds_{};
    Eeprom eeprom_;
    std::uint8_t eepromLatch_ = 0;
    PinDecoder pins_;
    std::uint8_t summary_ = 0;
    std::atomic<bool> lineAsserted_{false};
    InterruptSink* sink_ = nullptr;
    std::atomic<bool> timeKeptBySink_{false};
    std::function<void()> wake_;
    std::atomic<SimTime> plannedWake_{Never};
    std::uint32_t touched_ = 0;  // channels whose timing an access changed
    // Each channel's next event as last found, kept between catch-ups: most accesses find
    // nothing due, and an event changes only a channel or two. Each time is a bound that is never
    // late: a change that may bring a channel's event sooner marks the channel stale (Touch, an
    // event on it or the channel wired to it); one that only postpones events (a byte taken from
    // the receive FIFO, one queued behind a character on the line) leaves the bound as it is.
    std::array<SimTime, MaxChannels> eventAt_{};
    std::array<int, MaxChannels> eventKind_{};
    std::uint32_t staleEvents_ = AllChannels;
    SimTime nextEvent_ = 0;  // the earliest of them, as the last catch-up left it
    BoardCounters counters_;
};

}  // namespace sim
