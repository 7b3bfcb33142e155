#include "sim/Board.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint32_t DeviceBlockStart = 0x80;
constexpr std::uint32_t DeviceBlockEnd = 0x100;

}  // namespace

std::uint32_t RegionLengthFor(std::uint16_t deviceId) {
    switch (deviceId) {
    case 0x0152:
        return 2 * reg::WindowSize;
    case 0x0154:
        return 4 * reg::WindowSize;
    default:
        return 8 * reg::WindowSize;  // 0x0158, 0x0258 and any ID the family does not know
    }
}

Board::Board(const BoardIdentity& identity, Clock& clock, Trace* trace)
    : identity_(identity),
      clock_(clock),
      trace_(trace),
      regionLength_(RegionLengthFor(identity.deviceId)),
      channelCount_(regionLength_ / reg::WindowSize),
      eeprom_(identity.eeprom),
      pins_(channelCount_) {}

void Board::Wire(std::uint32_t channel, LineKind kind, std::uint32_t peer,
                 const std::string& ptyPath) {
    const std::lock_guard guard(lock_);
    FarEnd& far = farEnds_[channel];
    far.kind = kind;
    far.peer = peer;
    far.ptyPath = ptyPath;
    // A pty has no modem lines; the program behind it counts as present and ready.
    far.modemLevels = kind == LineKind::Pty ? reg::msr::Cts | reg::msr::Dsr | reg::msr::Dcd : 0;
    SetModemInputs(channel, far.modemLevels, clock_.Now());
    channels_[channel].msrDelta = 0;  // wiring is the power-on state, not a change
}

void Board::SetInterruptSink(InterruptSink* sink, bool keepsTime) {
    const std::lock_guard guard(lock_);
    sink_ = sink;
    const bool kept = sink != nullptr && keepsTime && clock_.GetMode() == Clock::Mode::Paced;
    if (timeKeptBySink_.exchange(kept, std::memory_order_acq_rel) != kept && wake_) {
        wake_();  // the line thread takes the board on again, or lets it go
    }
}

std::uint8_t Board::Load(std::uint32_t offset) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    const std::uint32_t window = offset / reg::WindowSize;
    const std::uint32_t r = offset % reg::WindowSize;
    const bool device = r >= DeviceBlockStart && r < DeviceBlockEnd;
    const std::uint8_t value = device ? ReadDevice(r) : ReadChannel(window, r, now);
    ++counters_.loads;
    Update(device ? 0 : WiredWith(window));  // reading the device block changes no channel
    Reschedule();
    if (trace_ != nullptr) {
        trace_->Record(identity_.index, window, 'R', r, value);
    }
    return value;
}

void Board::Store(std::uint32_t offset, std::uint8_t value) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    const std::uint32_t window = offset / reg::WindowSize;
    const std::uint32_t r = offset % reg::WindowSize;
    const bool device = r >= DeviceBlockStart && r < DeviceBlockEnd;
    if (device) {
        WriteDevice(r, value);
    } else {
        WriteChannel(window, r, value, now);
    }
    ++counters_.stores;
    Update(device ? AllChannels : WiredWith(window));
    Reschedule();
    if (trace_ != nullptr) {
        trace_->Record(identity_.index, window, 'W', r, value);
    }
}

std::uint8_t Board::ReadDevice(std::uint32_t reg) {
    switch (reg) {
    case reg::IntSummary:
        return summary_;
    case reg::EepromCtl:
        // The written lines read back as latched; bit 7 is the EEPROM's data-out line.
        return static_cast<std::uint8_t>((eepromLatch_ & ~reg::eeprom::DataOut) |
                                         (eeprom_.DataOut() ? reg::eeprom::DataOut : 0));
    case reg::PinLevel:
        return pins_.ReadLevel();
    case reg::PinCtl8F:
    case reg::PinCtl91:
    case reg::PinCtl92:
    case reg::PinCtl93:
        return pins_.Control(reg);
    default:
        return 0;
    }
}

void Board::WriteDevice(std::uint32_t reg, std::uint8_t value) {
    switch (reg) {
    case reg::EepromCtl:
        eepromLatch_ = value;
        eeprom_.Drive((value & reg::eeprom::Select) != 0, (value & reg::eeprom::Clock) != 0,
                      (value & reg::eeprom::DataIn) != 0);
        return;
    case reg::PinLevel:
        pins_.WriteLevel(value);
        return;
    case reg::PinCtl8F:
    case reg::PinCtl91:
    case reg::PinCtl92:
    case reg::PinCtl93:
        pins_.WriteControl(reg, value);
        return;
    default:
        return;  // IntSummary and the unused offsets are read-only
    }
}

std::uint8_t Board::Identify(const Channel& c) const {
    if ((c.ier & reg::ier::LineStatus) != 0 && (c.lsrLatched & reg::lsr::Latched) != 0) {
        return reg::iir::LineStatus;
    }
    if ((c.ier & reg::ier::RxData) != 0) {
        if (c.timeoutPending) {
            return reg::iir::RxTimeout;
        }
        if (c.rx.Count() >= RxTrigger(c)) {
            return reg::iir::RxData;
        }
    }
    if ((c.ier & reg::ier::TxEmpty) != 0 && c.threPending) {
        return reg::iir::TxEmpty;
    }
    if ((c.ier & reg::ier::ModemStatus) != 0 && (c.msrDelta & ~reg::msr::Levels) != 0) {
        return reg::iir::ModemStatus;
    }
    return reg::iir::None;
}

// A channel's access reaches no further than the channel wired to it (its modem inputs, its
// transmitter held by flow control): only those two need identifying again.
std::uint32_t Board::WiredWith(std::uint32_t channel) const {
    const int peer = SourceOf(channel);
    return 1u << channel | (peer >= 0 ? 1u << static_cast<std::uint32_t>(peer) : 0u);
}

void Board::Update(std::uint32_t changed) {
    std::uint8_t summary = 0;
    for (std::uint32_t i = 0; i < channelCount_; ++i) {
        Channel& c = channels_[i];
        if ((changed & (1u << i)) != 0) {
            c.iir = Identify(c);
        }
        if ((c.iir & reg::iir::None) == 0) {
            summary = static_cast<std::uint8_t>(summary | (1u << i));
        }
    }
    if (summary != summary_) {
        summary_ = summary;
        lineAsserted_.store(summary != 0, std::memory_order_release);
        if (sink_ != nullptr) {
            sink_->SummaryChanged();
        }
    }
}

std::uint8_t Board::Summary() {
    const std::lock_guard guard(lock_);
    CatchUp(clock_.Now());
    Update();
    return summary_;
}

ChannelSnapshot Board::Peek(std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    Update();
    const Channel& c = channels_[channel];
    ChannelSnapshot snapshot{};
    snapshot.ier = c.ier;
    snapshot.iir = static_cast<std::uint8_t>(c.iir | (c.fifosOn ? reg::iir::FifosOn : 0));
    snapshot.lcr = c.lcr;
    snapshot.mcr = c.mcr;
    snapshot.lsr = LineStatus(c);
    snapshot.msr = static_cast<std::uint8_t>(c.modemIn | c.msrDelta);
    snapshot.dll = c.dll;
    snapshot.dlm = c.dlm;
    snapshot.fifoTrigCtl = c.fifoTrigCtl;
    snapshot.featureCtl = c.featureCtl;
    snapshot.xoffChar = c.xoffChar;
    snapshot.xonChar = c.xonChar;
    snapshot.turnaround = c.turnaround;
    snapshot.scratch = c.scratch;
    snapshot.txLevel = c.tx.Count();
    snapshot.rxLevel = c.rx.Count();
    snapshot.txTrigger = reg::FifoDepth - TxThreshold(c);
    snapshot.rxTrigger = RxTrigger(c);
    snapshot.fifosOn = c.fifosOn;
    snapshot.rtsOut = c.rtsOut;
    snapshot.dtrOut = c.dtrOut;
    snapshot.txHeld = !c.tx.Empty() && !c.shifter.busy && !CanDepart(channel);
    snapshot.directionActive =
        (c.fifoTrigCtl & reg::fifotrig::AutoDirection) != 0 && RtsPin(c, now);
    snapshot.driverMode = pins_.DriverMode(channel);
    snapshot.format = c.format;
    return snapshot;
}

void Board::Inject(std::uint32_t channel, std::span<const std::uint8_t> bytes,
                   std::uint8_t errors) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    FarEnd& far = farEnds_[channel];
    for (const std::uint8_t byte : bytes) {
        far.outgoing.push_back(
            RxEntry{byte, static_cast<std::uint8_t>(errors & reg::lsr::ByteErrors)});
    }
    StartFarEnd(channel, now);
    Update();
    Reschedule();
}

void Board::InjectBreak(std::uint32_t channel, SimTime duration) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    farEnds_[channel].breakUntil = now + duration;
    LineLevelChanged(channel, now);
    Touch(channel);
    Update();
    Reschedule();
}

void Board::SetFarEndModem(std::uint32_t channel, std::uint8_t levels) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    FarEnd& far = farEnds_[channel];
    far.modemLevels = static_cast<std::uint8_t>(levels & reg::msr::Levels);
    if (far.kind == LineKind::Open || far.kind == LineKind::Pty) {
        SetModemInputs(channel, far.modemLevels, now);
    }
    Update();
    Reschedule();
}

void Board::SetFarEndHonoursRts(std::uint32_t channel, bool honour) {
    const std::lock_guard guard(lock_);
    const SimTime now = clock_.Now();
    CatchUp(now);
    farEnds_[channel].honourRts = honour;
    StartFarEnd(channel, now);
    Update();
    Reschedule();
}

std::size_t Board::FarEndPending(std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    CatchUp(clock_.Now());
    Update();
    const FarEnd& far = farEnds_[channel];
    return far.outgoing.size() + (far.shifter.busy ? 1 : 0);
}

std::vector<std::uint8_t> Board::TakeSent(std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    CatchUp(clock_.Now());
    Update();
    Reschedule();
    std::vector<std::uint8_t> sent;
    sent.swap(farEnds_[channel].sent);
    return sent;
}

void Board::SetUnstableLevels(std::uint32_t channel, std::uint32_t reads) {
    const std::lock_guard guard(lock_);
    channels_[channel].unstableReads = reads;
}

ChannelCounters Board::ChannelStats(std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    CatchUp(clock_.Now());
    Update();
    return channels_[channel].counters;
}

BoardCounters Board::Counters() {
    const std::lock_guard guard(lock_);
    return counters_;
}

void Board::ResetCounters() {
    const std::lock_guard guard(lock_);
    counters_ = {};
    for (Channel& c : channels_) {
        c.counters = {};
    }
}

std::uint8_t Board::DriverMode(std::uint32_t channel) {
    const std::lock_guard guard(lock_);
    return pins_.DriverMode(channel);
}

std::vector<std::uint8_t> Board::PinLevelWrites() {
    const std::lock_guard guard(lock_);
    return pins_.LevelWrites();
}

void Board::ClearPinLevelWrites() {
    const std::lock_guard guard(lock_);
    pins_.ClearLevelWrites();
}

std::uint8_t Board::PinControl(std::uint32_t offset, bool* written) {
    const std::lock_guard guard(lock_);
    if (written != nullptr) {
        *written = pins_.ControlWritten(offset);
    }
    return pins_.Control(offset);
}

std::uint32_t Board::PinProtocolErrors() {
    const std::lock_guard guard(lock_);
    return pins_.ProtocolErrors();
}

void Board::SetEepromFault(Eeprom::DataFault fault) {
    const std::lock_guard guard(lock_);
    eeprom_.SetDataFault(fault);
}

std::uint32_t Board::EepromModifyingCommands() {
    const std::lock_guard guard(lock_);
    return eeprom_.ModifyingCommands();
}

}  // namespace sim
