#include "client/Device.h"

#include <algorithm>
#include <cstring>

#include "client/DeviceEvents.h"
#include "client/DeviceName.h"
#include "client/RequestChannel.h"
#include "wire/ExtensionRecords.h"

namespace quelta {
namespace {

// portIndex written before SerialOpen: a driver that finds no port for the name leaves it as it
// is, so it still reads this afterwards, and every later request would be refused (status 87).
constexpr std::uint8_t NoPort = 0xFF;

// Clients mark a block whose port has been opened in its three unused bytes after portIndex,
// which the driver never touches: 'Q', 'o' and the port index inverted as a check. A new block
// holds whatever the platform gave it, never this. It lets a later client attach to the port as
// it is instead of resetting it with another SerialOpen.
constexpr std::uint8_t OpenedMark0 = 'Q';
constexpr std::uint8_t OpenedMark1 = 'o';

void MarkOpened(RequestPart& part) {
    part.clientMark[0] = OpenedMark0;
    part.clientMark[1] = OpenedMark1;
    part.clientMark[2] = static_cast<std::uint8_t>(~part.portIndex);
}

// A closed port has its interrupts off and DTR and RTS down: a later client must open it again
// rather than attach to a port that would receive nothing.
void ClearOpenedMark(RequestPart& part) {
    part.clientMark[0] = 0;
    part.clientMark[1] = 0;
    part.clientMark[2] = 0;
}

bool IsMarkedOpened(const RequestPart& part) {
    return part.clientMark[0] == OpenedMark0 && part.clientMark[1] == OpenedMark1 &&
           part.clientMark[2] == static_cast<std::uint8_t>(~part.portIndex);
}

// How a transfer's time-out counts: from its start (all of it within the time), or from the last
// byte that moved (a line that drains slowly but steadily never runs out of time).
enum class TimeOut { Total, Idle };

// Repeats a transfer step (given the bytes moved so far, returns the bytes it moved) until size
// bytes have moved, the time-out passes or the wait is cancelled, waiting for `event` whenever a
// step moves less than all. The wait wants the event before the first step, so nothing that comes
// between a step and the wait is missed.
template <typename Step>
std::size_t MoveAll(EventWait& wait, std::uint32_t event, std::size_t size,
                    std::chrono::milliseconds timeout, TimeOut kind, Step step) {
    Clock::time_point deadline = Clock::now() + timeout;
    std::size_t total = 0;
    while (total < size) {
        const std::size_t count = step(total);
        total += count;
        if (total == size) break;
        if (count > 0 && kind == TimeOut::Idle) {
            deadline = Clock::now() + timeout;
        } else if (count == 0 && Clock::now() >= deadline) {
            break;
        }
        // TransmitRoom comes only once the ring is half empty, which a slow line takes longer to
        // reach than a short time-out: an idle transfer looks once more at its deadline.
        if (wait.Wait(event, deadline) == 0 && (kind == TimeOut::Total || wait.Cancelled())) {
            break;
        }
    }
    return total;
}

// A transfer that ended short: cancelled, or out of time.
[[noreturn]] void ThrowShort(const EventWait& wait, const std::string& what, std::size_t total) {
    throw Error(wait.Cancelled() ? ErrorCode::Cancelled : ErrorCode::TimedOut,
                what + (wait.Cancelled() ? " (cancelled)" : ""), total);
}

void CheckStatus(const RequestChannel& channel, std::uint32_t requestCode, const Reply& reply) {
    switch (reply.status) {
    case RequestDone:
        return;
    case RequestInvalidPort:
        if (requestCode == SerialOpen) {
            throw Error(
                ErrorCode::InvalidPort,
                channel.Name() + ": the driver set up no port behind this device (status 87)");
        }
        throw Error(ErrorCode::InvalidPort,
                    channel.Name() + ": the driver has no port " +
                        std::to_string(channel.PortIndex()) +
                        " (status 87); the driver may have restarted: open the device again");
    case RequestNotImplemented:
        throw Error(ErrorCode::NotImplemented, channel.Name() + ": request " +
                                                   std::to_string(requestCode) +
                                                   " not implemented by the driver (status 120)");
    default:
        throw Error(ErrorCode::ProtocolError, channel.Name() + ": unexpected status " +
                                                  std::to_string(reply.status) + " for request " +
                                                  std::to_string(requestCode));
    }
}

[[noreturn]] void ThrowBadCount(const RequestChannel& channel, std::uint32_t requestCode,
                                std::uint32_t count) {
    throw Error(ErrorCode::ProtocolError, channel.Name() + ": impossible result count " +
                                              std::to_string(count) + " for request " +
                                              std::to_string(requestCode));
}

// A fixed-size reply record of an extension request, copied out of the data area. False when
// the driver answers 120 and the caller can do without the record (olderDriverWelcome).
bool RecordRequest(RequestChannel::Session& session, const RequestChannel& channel,
                   std::uint32_t requestCode, void* record, std::uint32_t size,
                   bool olderDriverWelcome = false) {
    const Reply reply = session.Exchange(requestCode, 0);
    if (olderDriverWelcome && reply.status == RequestNotImplemented) {
        return false;
    }
    CheckStatus(channel, requestCode, reply);
    if (reply.resultCount != size) {
        ThrowBadCount(channel, requestCode, reply.resultCount);
    }
    std::memcpy(record, session.Data(), size);  // little-endian, as this host
    return true;
}

PortSettings FromReport(const ConfigReport& report) {
    PortSettings result;
    result.opened = report.config.baudRate != 0;
    if (result.opened) {
        result.settings = LineSettings::FromWire(report.config);
        result.actualBaud = report.actualBaud;
        result.clockHz = report.clockHz;
        result.divisor = report.divisor;
        result.configured = report.configured != 0;
        result.receiveTrigger = report.receiveTrigger;
    }
    return result;
}

TransmitState FromReport(const TransmitStateReport& report) {
    return TransmitState{report.queued, report.transmitterEmpty != 0, report.fifoLevel};
}

// What the UART holds beyond the ring: its transmit FIFO and the shift register.
constexpr std::uint32_t UartTransmitDepth = 64 + 1;

// The time the line needs for so many characters at the rate in force, rounded up: a start bit,
// the data bits, a parity bit and the stop bits (one and a half counted as two) a character.
std::chrono::microseconds LineTime(std::uint64_t characters, const PortSettings& inForce) {
    const LineSettings& line = inForce.settings;
    const std::uint64_t bits = 1U + line.dataBits + (line.parity == Parity::None ? 0U : 1U) +
                               (line.stopBits == StopBits::One ? 1U : 2U);
    const std::uint64_t rate = std::max<std::uint32_t>(inForce.actualBaud, 1);
    return std::chrono::microseconds((characters * bits * 1'000'000 + rate - 1) / rate);
}

std::chrono::milliseconds DrainTime(const TransmitState& state, const PortSettings& inForce) {
    return std::chrono::ceil<std::chrono::milliseconds>(
        LineTime(std::uint64_t{state.queued} + UartTransmitDepth, inForce));
}

// When a wait for the line to drain looks again at the latest: the ring's emptying is an event,
// what the UART's FIFO then still sends is not, so for that it sleeps about the time the FIFO's
// level needs.
Clock::time_point DrainLook(const TransmitState& state, const PortSettings& inForce,
                            Clock::time_point deadline) {
    if (state.queued > 0) {
        return deadline;
    }
    return std::min(deadline, Clock::now() + LineTime(state.fifoLevel + 1U, inForce));
}

// limit: how long the wait was, in words.
[[noreturn]] void ThrowNotDrained(const std::string& name, const std::string& limit,
                                  const TransmitState& state, const char* outcome) {
    throw Error(ErrorCode::TimedOut, name + ": the line did not drain " + limit + " (" +
                                         std::to_string(state.queued) + " bytes still queued" +
                                         (state.transmitterEmpty ? "" : ", the transmitter busy") +
                                         "; is flow control holding it?)" + outcome);
}

}  // namespace

Device::Device(std::string_view name, const OpenOptions& options)
    : channel_(std::make_unique<RequestChannel>(
          FullDeviceName(name), options.replyTimeout, options.replyPoll,
          LateReplies{options.waitLateReplies, options.onStall, options.driverCheck})),
      claim_(channel_->Name(), options.exclusive ? ClaimKind::Exclusive : ClaimKind::Shared) {
    Open(options.mode);
    // After the open: a driver lets the first request through only once its set-up, which makes
    // the event objects, is over.
    events_ = std::make_unique<DeviceEvents>(channel_->Name(), options.driverCheck);
}

Device::Device(Device&&) noexcept = default;
Device& Device::operator=(Device&&) noexcept = default;
Device::~Device() = default;

const std::string& Device::Name() const { return channel_->Name(); }
std::uint8_t Device::PortIndex() const { return channel_->PortIndex(); }
std::uint32_t Device::DataAreaSize() const { return channel_->DataAreaSize(); }

void Device::Open(OpenMode mode) {
    RequestChannel::Session session(*channel_);
    RequestPart& part = session.Part();
    if (mode != OpenMode::Reset && IsMarkedOpened(part)) {
        channel_->SetPortIndex(part.portIndex);
        return;
    }
    if (mode == OpenMode::Attach) {
        throw Error(ErrorCode::NotOpened,
                    Name() + ": no client has opened the port since the driver started");
    }
    part.portIndex = NoPort;
    const Reply reply = session.Exchange(SerialOpen, 0);
    CheckStatus(*channel_, SerialOpen, reply);
    if (part.portIndex == NoPort) {
        throw Error(ErrorCode::NoSuchDevice, Name() + ": the driver has no port for this name");
    }
    channel_->SetPortIndex(part.portIndex);
    MarkOpened(part);
    wasReset_ = true;
}

void Device::SimpleRequest(std::uint32_t requestCode) {
    RequestChannel::Session session(*channel_);
    CheckStatus(*channel_, requestCode, session.Exchange(requestCode, 0));
}

std::uint8_t Device::ByteRequest(std::uint32_t requestCode) {
    RequestChannel::Session session(*channel_);
    const Reply reply = session.Exchange(requestCode, 0);
    CheckStatus(*channel_, requestCode, reply);
    if (reply.resultCount != 1) {
        ThrowBadCount(*channel_, requestCode, reply.resultCount);
    }
    return session.Data()[0];
}

std::size_t Device::Read(std::span<std::uint8_t> buffer) {
    std::size_t total = 0;
    while (total < buffer.size()) {
        RequestChannel::Session session(*channel_);
        // Bytes of a read that gave up on its reply came before any this one can bring.
        total += session.TakeLateBytes(buffer.subspan(total));
        const auto chunk = static_cast<std::uint32_t>(
            std::min<std::size_t>(buffer.size() - total, channel_->DataAreaSize()));
        if (chunk == 0) break;
        const Reply reply = session.Exchange(SerialRead, chunk);
        CheckStatus(*channel_, SerialRead, reply);
        // The count decides how much is copied out of the block: never trust it beyond the request.
        if (reply.resultCount > chunk) {
            ThrowBadCount(*channel_, SerialRead, reply.resultCount);
        }
        std::memcpy(buffer.data() + total, session.Data(), reply.resultCount);
        total += reply.resultCount;
        if (reply.resultCount < chunk) break;
    }
    return total;
}

std::size_t Device::Write(std::span<const std::uint8_t> data) {
    std::size_t total = 0;
    while (total < data.size()) {
        const auto chunk = static_cast<std::uint32_t>(
            std::min<std::size_t>(data.size() - total, channel_->DataAreaSize()));
        RequestChannel::Session session(*channel_);
        std::memcpy(session.Data(), data.data() + total, chunk);
        const Reply reply = session.Exchange(SerialWrite, chunk);
        CheckStatus(*channel_, SerialWrite, reply);
        if (reply.resultCount > chunk) {
            ThrowBadCount(*channel_, SerialWrite, reply.resultCount);
        }
        total += reply.resultCount;
        if (reply.resultCount < chunk) break;
    }
    return total;
}

std::optional<std::uint32_t> Device::TakeLateWriteCount() {
    RequestChannel::Session session(*channel_);
    return session.TakeLateWriteCount();
}

std::size_t Device::ReadSome(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    EventWait wait(*events_, PortEvent::Received);
    for (;;) {
        const std::size_t count = Read(buffer);
        if (count > 0 || buffer.empty() || wait.Wait(PortEvent::Received, deadline) == 0) {
            return count;
        }
    }
}

void Device::ReadExact(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
    EventWait wait(*events_, PortEvent::Received);
    const std::size_t total =
        MoveAll(wait, PortEvent::Received, buffer.size(), timeout, TimeOut::Total,
                [&](std::size_t done) { return Read(buffer.subspan(done)); });
    if (total < buffer.size()) {
        ThrowShort(wait,
                   Name() + ": received " + std::to_string(total) + " of " +
                       std::to_string(buffer.size()) + " bytes before the time-out",
                   total);
    }
}

void Device::WriteAll(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout) {
    EventWait wait(*events_, PortEvent::TransmitRoom);
    const std::size_t total =
        MoveAll(wait, PortEvent::TransmitRoom, data.size(), timeout, TimeOut::Idle,
                [&](std::size_t done) { return Write(data.subspan(done)); });
    if (total < data.size()) {
        ThrowShort(wait,
                   Name() + ": the driver took " + std::to_string(total) + " of " +
                       std::to_string(data.size()) + " bytes, then none for " +
                       std::to_string(timeout.count()) +
                       " ms (transmit ring full: is flow control holding the line?)",
                   total);
    }
}

std::optional<ModemStatus> Device::WaitModemChange(std::uint8_t lines,
                                                   std::chrono::milliseconds timeout) {
    // The level bits of MSR sit four above their change bits.
    const auto changes = static_cast<std::uint8_t>((lines & ModemLine::All) >> 4);
    const Clock::time_point deadline = Clock::now() + timeout;
    EventWait wait(*events_, PortEvent::ModemChange);
    if (!wait.Evented()) {
        return PollModemChange(wait, changes, deadline);
    }
    std::uint8_t seen = 0;  // change bits of lines not asked for, kept for the report
    while (wait.Wait(PortEvent::ModemChange, deadline) != 0) {
        const std::uint8_t status = wait.TakeModemStatus();
        seen |= status & Msr::ChangeMask;
        if ((status & changes) != 0) {
            return ModemStatus::Decode(static_cast<std::uint8_t>(status | seen));
        }
    }
    return std::nullopt;
}

// Without events: MSR read again and again. A change shows as a change bit of the read or as a
// level that differs from the read before (the other reads of MSR clear the change bits).
std::optional<ModemStatus> Device::PollModemChange(EventWait& poll, std::uint8_t changes,
                                                   Clock::time_point deadline) {
    std::uint8_t before = GetModemStatus().raw;
    while (poll.Wait(PortEvent::ModemChange, deadline) != 0) {
        const std::uint8_t now = GetModemStatus().raw;
        const auto seen = static_cast<std::uint8_t>((now | (now ^ before) >> 4) & changes);
        if (seen != 0) {
            return ModemStatus::Decode(static_cast<std::uint8_t>((now & ~Msr::ChangeMask) | seen));
        }
        before = now;
    }
    return std::nullopt;
}

EventReport Device::WaitEvents(std::uint32_t mask, std::chrono::milliseconds timeout) {
    if (!events_->Available()) {
        throw Error(ErrorCode::NotImplemented, Name() + ": the driver offers no events to wait on");
    }
    const Clock::time_point deadline = Clock::now() + timeout;
    EventWait wait(*events_, mask & PortEvent::FromDriver, EventWait::Since::LastWatch);
    if (!wait.Evented()) {
        throw Error(ErrorCode::DeviceBusy,
                    Name() + ": every waiter slot of the port is taken by other clients");
    }
    EventReport report;
    report.happened = wait.Wait(mask, deadline);
    if ((report.happened & PortEvent::ModemChange) != 0) {
        report.modem = ModemStatus::Decode(wait.TakeModemStatus());
    }
    if ((report.happened & PortEvent::LineError) != 0) {
        report.lineErrors = LineErrors::Decode(wait.TakeLineErrors());
    }
    if (wait.Cancelled()) {
        report.happened |= PortEvent::Cancelled;
    }
    return report;
}

void Device::CancelWait() { events_->CancelWaits(); }

bool Device::HasEvents() const { return events_->Available(); }

void Device::WriteAll(std::string_view text, std::chrono::milliseconds timeout) {
    WriteAll(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), timeout);
}

void Device::Configure(const LineSettings& settings, Apply when) {
    if (const auto reason = ExplainRefusal(settings)) {
        throw Error(ErrorCode::ConfigRefused,
                    Name() + ": configuration refused: " + *reason + " (not sent to the driver)");
    }
    std::optional<Clock::time_point> deadline;
    EventWait wait(*events_, PortEvent::TransmitRingEmpty);
    for (auto lookAgain = ConfigureIfDrained(settings, when, deadline); lookAgain;
         lookAgain = ConfigureIfDrained(settings, when, deadline)) {
        (void)wait.Wait(PortEvent::TransmitRingEmpty, *lookAgain);
        if (wait.Cancelled()) {
            throw Error(ErrorCode::Cancelled, Name() + ": configuration cancelled, not applied");
        }
    }
}

// The settings in force, the line's state and the new settings are read and sent under one hold of
// the device mutex, so no other client's bytes slip in between the look and the change. A driver
// without the extension requests (120) gets the settings at once, as before them.
std::optional<Clock::time_point> Device::ConfigureIfDrained(
    const LineSettings& settings, Apply when, std::optional<Clock::time_point>& deadline) {
    RequestChannel::Session session(*channel_);
    ConfigReport report{};
    const bool readBack =
        RecordRequest(session, *channel_, SerialGetConfig, &report, sizeof report, true);
    const PortSettings inForce = FromReport(report);
    if (readBack && inForce.configured && inForce.settings == settings) {
        return std::nullopt;  // nothing would change but the FIFOs, which a configuration resets
    }
    TransmitStateReport line{};
    if (when == Apply::AfterDrain && readBack &&
        RecordRequest(session, *channel_, SerialGetTransmitState, &line, sizeof line, true) &&
        !FromReport(line).Idle()) {
        const TransmitState state = FromReport(line);
        if (!deadline) {
            deadline = Clock::now() + DrainTime(state, inForce) + DrainMargin;
        } else if (Clock::now() >= *deadline) {
            ThrowNotDrained(
                Name(),
                "in the time its bytes need plus " + std::to_string(DrainMargin.count()) + " ms",
                state, ": settings not applied");
        }
        return DrainLook(state, inForce, *deadline);
    }
    const LineConfig wire = settings.ToWire();
    std::memcpy(session.Data(), &wire, sizeof wire);
    const Reply reply = session.Exchange(SerialSetConfig, sizeof wire);
    CheckStatus(*channel_, SerialSetConfig, reply);
    if (reply.resultCount == 0) {
        throw Error(ErrorCode::ConfigRefused, Name() + ": configuration refused by the driver: " +
                                                  std::to_string(settings.baudRate) +
                                                  " baud cannot be made from the board's clock");
    }
    if (reply.resultCount != 1) {
        ThrowBadCount(*channel_, SerialSetConfig, reply.resultCount);
    }
    return std::nullopt;
}

void Device::SetDtr(bool on) { SimpleRequest(on ? SerialSetDtr : SerialClearDtr); }
void Device::SetRts(bool on) { SimpleRequest(on ? SerialSetRts : SerialClearRts); }
void Device::SetBreak(bool on) { SimpleRequest(on ? SerialSetBreak : SerialClearBreak); }
void Device::ClosePort() {
    RequestChannel::Session session(*channel_);
    CheckStatus(*channel_, SerialClose, session.Exchange(SerialClose, 0));
    ClearOpenedMark(session.Part());
}

ModemStatus Device::GetModemStatus() {
    return ModemStatus::Decode(ByteRequest(SerialGetModemStatus));
}
LineStatus Device::GetLineStatus() { return LineStatus::Decode(ByteRequest(SerialGetLineStatus)); }
ModemControl Device::GetModemControl() {
    return ModemControl::Decode(ByteRequest(SerialGetModemControl));
}
LineErrors Device::GetLineErrors() { return LineErrors::Decode(ByteRequest(SerialGetLineErrors)); }

std::uint32_t Device::GetRxCount() {
    RequestChannel::Session session(*channel_);
    const Reply reply = session.Exchange(SerialGetRxCount, 0);
    CheckStatus(*channel_, SerialGetRxCount, reply);
    if (reply.resultCount != 4) {
        ThrowBadCount(*channel_, SerialGetRxCount, reply.resultCount);
    }
    const std::uint8_t* data = session.Data();
    return std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16 |
           std::uint32_t{data[3]} << 24;
}

PortSettings Device::GetSettings() {
    RequestChannel::Session session(*channel_);
    ConfigReport report{};
    RecordRequest(session, *channel_, SerialGetConfig, &report, sizeof report);
    return FromReport(report);
}

TransmitState Device::GetTransmitState() {
    RequestChannel::Session session(*channel_);
    TransmitStateReport report{};
    RecordRequest(session, *channel_, SerialGetTransmitState, &report, sizeof report);
    return FromReport(report);
}

void Device::Drain(std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    EventWait wait(*events_, PortEvent::TransmitRingEmpty);
    std::optional<PortSettings> inForce;  // asked for once the FIFO's time is needed
    for (TransmitState state = GetTransmitState(); !state.Idle(); state = GetTransmitState()) {
        if (wait.Cancelled()) {
            throw Error(ErrorCode::Cancelled, Name() + ": drain cancelled");
        }
        if (Clock::now() >= deadline) {
            ThrowNotDrained(Name(), "within " + std::to_string(timeout.count()) + " ms", state, "");
        }
        if (state.queued == 0 && !inForce) {
            inForce = GetSettings();
        }
        (void)wait.Wait(PortEvent::TransmitRingEmpty,
                        DrainLook(state, inForce.value_or(PortSettings{}), deadline));
    }
}

void Device::SetReceiveTrigger(std::uint8_t level) {
    if (!ByteArgumentRequest(SerialSetReceiveTrigger, level)) {
        throw Error(ErrorCode::ConfigRefused, Name() + ": receive trigger " +
                                                  std::to_string(level) + " refused (levels " +
                                                  std::to_string(ReceiveTrigger::Lowest) + " to " +
                                                  std::to_string(ReceiveTrigger::Highest) + ")");
    }
}

ErrorCounts Device::GetErrorCounts() {
    RequestChannel::Session session(*channel_);
    ErrorCountsReport wire{};
    RecordRequest(session, *channel_, SerialGetErrorCounts, &wire, sizeof wire);
    return ErrorCounts{wire.overruns, wire.parityErrors, wire.framingErrors, wire.breaks,
                       wire.ringOverruns};
}

void Device::Flush(FlushSide side) {
    if (!ByteArgumentRequest(SerialFlush, static_cast<std::uint8_t>(side))) {
        ThrowBadCount(*channel_, SerialFlush, 0);
    }
}

bool Device::ByteArgumentRequest(std::uint32_t requestCode, std::uint8_t argument) {
    RequestChannel::Session session(*channel_);
    session.Data()[0] = argument;
    const Reply reply = session.Exchange(requestCode, 1);
    CheckStatus(*channel_, requestCode, reply);
    if (reply.resultCount > 1) {
        ThrowBadCount(*channel_, requestCode, reply.resultCount);
    }
    return reply.resultCount == 1;
}

}  // namespace quelta
