#include "tools/rfc2217/ComPortSession.h"

#include <array>
#include <cstdio>
#include <optional>
#include <utility>

#include "client/LineSignals.h"

namespace tool {
namespace {

// COM port commands from the client; the server answers each with its code + 100.
namespace Cmd {
constexpr std::uint8_t Signature = 0;
constexpr std::uint8_t SetBaudRate = 1;
constexpr std::uint8_t SetDataSize = 2;
constexpr std::uint8_t SetParity = 3;
constexpr std::uint8_t SetStopSize = 4;
constexpr std::uint8_t SetControl = 5;
constexpr std::uint8_t NotifyLineState = 6;
constexpr std::uint8_t NotifyModemState = 7;
constexpr std::uint8_t FlowSuspend = 8;
constexpr std::uint8_t FlowResume = 9;
constexpr std::uint8_t SetLineStateMask = 10;
constexpr std::uint8_t SetModemStateMask = 11;
constexpr std::uint8_t PurgeData = 12;
constexpr std::uint8_t ServerOffset = 100;
}  // namespace Cmd

// SET-CONTROL values.
namespace Ctl {
constexpr std::uint8_t AskFlow = 0, NoFlow = 1, SoftwareFlow = 2, HardwareFlow = 3;
constexpr std::uint8_t AskBreak = 4, BreakOn = 5, BreakOff = 6;
constexpr std::uint8_t AskDtr = 7, DtrOn = 8, DtrOff = 9;
constexpr std::uint8_t AskRts = 10, RtsOn = 11, RtsOff = 12;
constexpr std::uint8_t AskInboundFlow = 13, InboundNoFlow = 14, InboundHardwareFlow = 16;
constexpr std::uint8_t InboundOffset = InboundNoFlow - NoFlow;
}  // namespace Ctl

// RFC 2217's parity codes, 1 to 5, for the driver's letters.
constexpr std::array<char, 5> ParityCodes = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                             Parity::Space};
constexpr std::uint8_t StopOne = 1, StopTwo = 2, StopOneAndAHalf = 3;

// NOTIFY-LINESTATE bits, RFC 2217's names for the 16550 LSR layout; each is set from the flag the
// client library decoded. Bit 7, a time-out error, belongs to terminal servers with a time-out of
// their own: a serial port never reports it.
namespace LineStateBit {
constexpr std::uint8_t DataReady = 0x01;
constexpr std::uint8_t Overrun = 0x02;
constexpr std::uint8_t ParityError = 0x04;
constexpr std::uint8_t FramingError = 0x08;
constexpr std::uint8_t BreakDetect = 0x10;
constexpr std::uint8_t HoldingEmpty = 0x20;
constexpr std::uint8_t ShiftEmpty = 0x40;
constexpr std::uint8_t Errors = Overrun | ParityError | FramingError | BreakDetect;
}  // namespace LineStateBit

// NOTIFY-MODEMSTATE bits: the four levels in the high nibble, each one's change bit four below it
// (RI's is the trailing edge of a ring).
namespace ModemStateBit {
constexpr std::uint8_t TrailingRi = 0x04;
constexpr std::uint8_t Cts = 0x10;
constexpr std::uint8_t Dsr = 0x20;
constexpr std::uint8_t Ri = 0x40;
constexpr std::uint8_t Cd = 0x80;
constexpr std::uint8_t Levels = Cts | Dsr | Ri | Cd;
constexpr int ChangeShift = 4;
}  // namespace ModemStateBit

// A state bit and the client record's flag that sets it.
template <typename Record>
struct StateBit {
    std::uint8_t bit;
    bool Record::*flag;
};

constexpr StateBit<quelta::LineStatus> LineStateBits[] = {
    {LineStateBit::DataReady, &quelta::LineStatus::dataReady},
    {LineStateBit::Overrun, &quelta::LineStatus::overrun},
    {LineStateBit::ParityError, &quelta::LineStatus::parityError},
    {LineStateBit::FramingError, &quelta::LineStatus::framingError},
    {LineStateBit::BreakDetect, &quelta::LineStatus::breakReceived},
    {LineStateBit::HoldingEmpty, &quelta::LineStatus::holdingEmpty},
    {LineStateBit::ShiftEmpty, &quelta::LineStatus::transmitterEmpty},
};

constexpr StateBit<quelta::ModemStatus> ModemLevelBits[] = {
    {ModemStateBit::Cts, &quelta::ModemStatus::cts},
    {ModemStateBit::Dsr, &quelta::ModemStatus::dsr},
    {ModemStateBit::Ri, &quelta::ModemStatus::ring},
    {ModemStateBit::Cd, &quelta::ModemStatus::dcd},
};

template <typename Record, std::size_t N>
std::uint8_t StateByte(const Record& record, const StateBit<Record> (&bits)[N]) {
    std::uint8_t byte = 0;
    for (const StateBit<Record>& state : bits) {
        if (record.*state.flag) byte |= state.bit;
    }
    return byte;
}

// PURGE-DATA values: the server's buffer of data from the line (the port's receive side), the one
// of data for the line (its transmit side), or both.
namespace Purge {
constexpr std::uint8_t Receive = 1;
constexpr std::uint8_t Transmit = 2;
constexpr std::uint8_t Both = 3;
}  // namespace Purge

std::optional<quelta::FlushSide> PurgedSide(std::uint8_t code) {
    switch (code) {
    case Purge::Receive:
        return quelta::FlushSide::Receive;
    case Purge::Transmit:
        return quelta::FlushSide::Transmit;
    case Purge::Both:
        return quelta::FlushSide::Both;
    default:
        return std::nullopt;
    }
}

constexpr std::uint8_t Byte(int value) { return static_cast<std::uint8_t>(value); }

// Thrown by a change of the line settings while the client's data before it has not yet gone to
// the port: the parser stops there, and the change is made once the data is with the port.
struct DataFirst {};

bool Supported(std::uint8_t option) {
    return option == telnet::Binary || option == telnet::SuppressGoAhead ||
           option == telnet::ComPort;
}

std::uint8_t StopCode(const quelta::LineSettings& s) {
    if (s.stopBits == StopBits::One) return StopOne;
    return s.dataBits == 5 ? StopOneAndAHalf : StopTwo;
}

std::uint8_t FlowCode(const quelta::LineSettings& s) {
    if (s.flowControl != 0) return Ctl::HardwareFlow;
    return s.softwareFlow ? Ctl::SoftwareFlow : Ctl::NoFlow;
}

}  // namespace

ComPortSession::ComPortSession(quelta::Device& port)
    : port_(port),
      parser_({.data =
                   [this](std::span<const std::uint8_t> data) {
                       toPort_->insert(toPort_->end(), data.begin(), data.end());
                   },
               .negotiation = [this](std::uint8_t verb,
                                     std::uint8_t option) { Negotiate(verb, option, *toClient_); },
               .subnegotiation =
                   [this](std::span<const std::uint8_t> payload) {
                       if (!payload.empty() && payload[0] == telnet::ComPort) {
                           Command(payload.subspan(1), *toClient_);
                       }
                   }}) {
    state_ = ReadPortState(port_);
    lastCounts_ = port_.GetErrorCounts();
}

PortState ReadPortState(quelta::Device& port) {
    PortState state;
    const quelta::PortSettings inForce = port.GetSettings();
    if (inForce.opened) state.settings = inForce.settings;
    const quelta::ModemControl control = port.GetModemControl();
    state.dtr = control.dtr;
    state.rts = control.rts;
    return state;
}

void RestorePortState(quelta::Device& port, const PortState& state) {
    try {
        port.Configure(state.settings);
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::ConfigRefused) throw;
        std::fprintf(stderr, "quelta: %s\n", error.what());
    }
    port.SetDtr(state.dtr);
    port.SetRts(state.rts);
}

void ComPortSession::Greet(std::vector<std::uint8_t>& toClient) {
    for (const std::uint8_t option : {telnet::Binary, telnet::SuppressGoAhead}) {
        options_[option].we = true;
        toClient.insert(toClient.end(), {telnet::Iac, telnet::Will, option});
    }
    for (const std::uint8_t option : {telnet::Binary, telnet::SuppressGoAhead, telnet::ComPort}) {
        options_[option].asked = true;
        toClient.insert(toClient.end(), {telnet::Iac, telnet::Do, option});
    }
    lastModem_ = ModemState();
    const std::uint8_t state = Byte(lastModem_ & modemMask_);
    Reply(Cmd::NotifyModemState, std::span(&state, 1), toClient);
}

bool ComPortSession::FromClient(std::span<const std::uint8_t> bytes,
                                std::vector<std::uint8_t>& toPort,
                                std::vector<std::uint8_t>& toClient) {
    toPort_ = &toPort;
    toClient_ = &toClient;
    unparsed_.insert(unparsed_.end(), bytes.begin(), bytes.end());
    const auto keepUnhandled = [&] {
        unparsed_.erase(unparsed_.begin(),
                        unparsed_.begin() + static_cast<std::ptrdiff_t>(parser_.Fed()));
    };
    try {
        parser_.Feed(unparsed_);
        unparsed_.clear();
    } catch (const DataFirst&) {
        keepUnhandled();
    } catch (const quelta::Error&) {
        keepUnhandled();
        throw;
    }
    toPort_ = toClient_ = nullptr;
    return !parser_.Broken();
}

void ComPortSession::Negotiate(std::uint8_t verb, std::uint8_t option,
                               std::vector<std::uint8_t>& toClient) {
    OptionState& state = options_[option];
    const auto send = [&](std::uint8_t answer) {
        toClient.insert(toClient.end(), {telnet::Iac, answer, option});
    };
    switch (verb) {
    case telnet::Will:  // the client offers to do it
        if (!Supported(option)) {
            if (!state.refusedThey) send(telnet::Dont);
            state.refusedThey = true;
        } else if (!state.they) {
            state.they = true;
            if (!state.asked) send(telnet::Do);
        }
        break;
    case telnet::Wont:
        if (state.they) send(telnet::Dont);
        state.they = false;
        break;
    case telnet::Do:  // the client asks the server to do it
        if (!Supported(option)) {
            if (!state.refusedWe) send(telnet::Wont);
            state.refusedWe = true;
        } else if (!state.we) {
            state.we = true;
            send(telnet::Will);
        }
        break;
    case telnet::Dont:
        if (state.we) send(telnet::Wont);
        state.we = false;
        break;
    default:
        break;
    }
}

void ComPortSession::Reply(std::uint8_t command, std::span<const std::uint8_t> value,
                           std::vector<std::uint8_t>& toClient) {
    std::vector<std::uint8_t> payload = {Byte(command + Cmd::ServerOffset)};
    payload.insert(payload.end(), value.begin(), value.end());
    telnet::AppendSubnegotiation(telnet::ComPort, payload, toClient);
}

bool ComPortSession::TryConfigure(const quelta::LineSettings& settings) {
    if (!toPort_->empty()) throw DataFirst{};
    if (quelta::ExplainRefusal(settings)) return false;
    try {
        port_.Configure(settings);
    } catch (const quelta::Error& error) {
        // Refused, or a line that did not drain for the change in time: nothing was applied.
        if (error.Code() != quelta::ErrorCode::ConfigRefused &&
            error.Code() != quelta::ErrorCode::TimedOut) {
            throw;
        }
        return false;
    }
    state_.settings = settings;
    // Turning on the channel's automatic flow control raises DTR and RTS: the state put back on
    // a restarted driver is the one the port has now.
    const quelta::ModemControl control = port_.GetModemControl();
    state_.dtr = control.dtr;
    state_.rts = control.rts;
    return true;
}

std::uint8_t ComPortSession::Control(std::uint8_t value) {
    quelta::LineSettings wanted = state_.settings;
    const bool inbound = value >= Ctl::InboundNoFlow && value <= Ctl::InboundHardwareFlow;
    const std::uint8_t flow = inbound ? Byte(value - Ctl::InboundOffset) : value;
    switch (value) {
    case Ctl::BreakOn:
    case Ctl::BreakOff:
        break_ = value == Ctl::BreakOn;
        port_.SetBreak(break_);
        [[fallthrough]];
    case Ctl::AskBreak:
        return break_ ? Ctl::BreakOn : Ctl::BreakOff;
    case Ctl::DtrOn:
    case Ctl::DtrOff:
        state_.dtr = value == Ctl::DtrOn;
        port_.SetDtr(state_.dtr);
        [[fallthrough]];
    case Ctl::AskDtr:
        return state_.dtr ? Ctl::DtrOn : Ctl::DtrOff;
    case Ctl::RtsOn:
    case Ctl::RtsOff:
        state_.rts = value == Ctl::RtsOn;
        port_.SetRts(state_.rts);
        [[fallthrough]];
    case Ctl::AskRts:
        return state_.rts ? Ctl::RtsOn : Ctl::RtsOff;
    case Ctl::AskInboundFlow:
        return Byte(FlowCode(state_.settings) + Ctl::InboundOffset);
    default:
        break;
    }
    if (flow >= Ctl::NoFlow && flow <= Ctl::HardwareFlow) {
        wanted.flowControl = flow == Ctl::HardwareFlow ? FlowControl::RtsCts : 0;
        wanted.softwareFlow = flow == Ctl::SoftwareFlow;
        TryConfigure(wanted);
    }
    // Anything else (DCD, DTR or DSR flow control) is answered with the flow control in force.
    return Byte(FlowCode(state_.settings) + (inbound ? Ctl::InboundOffset : 0));
}

void ComPortSession::Command(std::span<const std::uint8_t> payload,
                             std::vector<std::uint8_t>& toClient) {
    if (payload.empty()) return;
    const std::uint8_t command = payload[0];
    const std::span<const std::uint8_t> value = payload.subspan(1);
    // A set with its value missing asks for the value in force, as a value of 0 does.
    const std::uint8_t byte = value.empty() ? 0 : value[0];
    quelta::LineSettings wanted = state_.settings;
    switch (command) {
    case Cmd::Signature: {
        static constexpr std::uint8_t Name[] = {'q', 'u', 'e', 'l', 't', 'a'};
        if (value.empty()) Reply(command, Name, toClient);
        return;
    }
    case Cmd::SetBaudRate: {
        if (value.size() >= 4) {
            const std::uint32_t baud = std::uint32_t{value[0]} << 24 |
                                       std::uint32_t{value[1]} << 16 |
                                       std::uint32_t{value[2]} << 8 | value[3];
            if (baud != 0 && baud <= 0x7FFFFFFF) {
                wanted.baudRate = static_cast<std::int32_t>(baud);
                TryConfigure(wanted);
            }
        }
        const auto baud = static_cast<std::uint32_t>(state_.settings.baudRate);
        const std::uint8_t answer[4] = {
            static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
            static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
        Reply(command, answer, toClient);
        return;
    }
    case Cmd::SetDataSize: {
        if (byte >= 5 && byte <= 8) {
            // The channel's one "more stop bits" setting is 1.5 with 5 data bits and 2 with more:
            // a client that changes the size first keeps the stop bits it had in that sense.
            wanted.dataBits = byte;
            if (wanted.stopBits != StopBits::One) {
                wanted.stopBits = byte == 5 ? StopBits::OneAndAHalf : StopBits::Two;
            }
            TryConfigure(wanted);
        }
        Reply(command, std::span(&state_.settings.dataBits, 1), toClient);
        return;
    }
    case Cmd::SetParity: {
        if (byte >= 1 && byte <= ParityCodes.size()) {
            wanted.parity = ParityCodes[byte - 1];
            TryConfigure(wanted);
        }
        std::uint8_t code = 1;
        for (std::uint8_t i = 0; i < ParityCodes.size(); ++i) {
            if (ParityCodes[i] == state_.settings.parity) code = Byte(i + 1);
        }
        Reply(command, std::span(&code, 1), toClient);
        return;
    }
    case Cmd::SetStopSize: {
        if (byte == StopOne) {
            wanted.stopBits = StopBits::One;
        } else if (byte == StopTwo) {
            wanted.stopBits = StopBits::Two;
        } else if (byte == StopOneAndAHalf) {
            wanted.stopBits = StopBits::OneAndAHalf;
        }
        if (byte != 0) TryConfigure(wanted);
        const std::uint8_t code = StopCode(state_.settings);
        Reply(command, std::span(&code, 1), toClient);
        return;
    }
    case Cmd::SetControl: {
        const std::uint8_t answer = Control(byte);
        Reply(command, std::span(&answer, 1), toClient);
        return;
    }
    case Cmd::NotifyLineState: {
        const std::uint8_t state = Byte(LineState() & lineMask_);
        Reply(command, std::span(&state, 1), toClient);
        return;
    }
    case Cmd::NotifyModemState: {
        const std::uint8_t state = Byte(ModemState() & modemMask_);
        Reply(command, std::span(&state, 1), toClient);
        return;
    }
    case Cmd::FlowSuspend:
    case Cmd::FlowResume:
        suspended_ = command == Cmd::FlowSuspend;
        return;
    case Cmd::SetLineStateMask:
    case Cmd::SetModemStateMask:
        (command == Cmd::SetLineStateMask ? lineMask_ : modemMask_) = byte;
        Reply(command, std::span(&byte, 1), toClient);
        return;
    case Cmd::PurgeData:
        if (const std::optional<quelta::FlushSide> side = PurgedSide(byte)) {
            port_.Flush(*side);
            purged_.receive |= *side != quelta::FlushSide::Transmit;
            purged_.transmit |= *side != quelta::FlushSide::Receive;
        }
        Reply(command, std::span(&byte, 1), toClient);
        return;
    default:
        return;  // a command this server does not know is ignored, as the RFC asks
    }
}

ComPortSession::Purged ComPortSession::TakePurge() { return std::exchange(purged_, Purged{}); }

std::uint8_t ComPortSession::LineState() { return StateByte(port_.GetLineStatus(), LineStateBits); }

std::uint8_t ComPortSession::ModemState() {
    const quelta::ModemStatus status = port_.GetModemStatus();
    const std::uint8_t levels = StateByte(status, ModemLevelBits);
    // The change bits are this session's own, against what it last told the client: another
    // reader of the modem status may have taken the channel's.
    const std::uint8_t changed =
        Byte(((levels ^ lastModem_) & ModemStateBit::Levels) >> ModemStateBit::ChangeShift);
    return Byte(levels | changed | (status.ringEnded ? ModemStateBit::TrailingRi : 0));
}

void ComPortSession::Poll(std::vector<std::uint8_t>& toClient) {
    const std::uint8_t modem = ModemState();
    if (((modem ^ lastModem_) & ModemStateBit::Levels & modemMask_) != 0 ||
        (modem & ModemStateBit::TrailingRi & modemMask_) != 0) {
        const std::uint8_t state = Byte(modem & modemMask_);
        Reply(Cmd::NotifyModemState, std::span(&state, 1), toClient);
    }
    lastModem_ = modem;
    if (lineMask_ == 0) return;
    const quelta::ErrorCounts counts = port_.GetErrorCounts();
    std::uint8_t errors = 0;
    if (counts.overruns != lastCounts_.overruns ||
        counts.ringOverruns != lastCounts_.ringOverruns) {
        errors |= LineStateBit::Overrun;
    }
    if (counts.parityErrors != lastCounts_.parityErrors) errors |= LineStateBit::ParityError;
    if (counts.framingErrors != lastCounts_.framingErrors) errors |= LineStateBit::FramingError;
    if (counts.breaks != lastCounts_.breaks) errors |= LineStateBit::BreakDetect;
    lastCounts_ = counts;
    if ((errors & lineMask_) != 0) {
        const std::uint8_t state =
            Byte(((LineState() & ~LineStateBit::Errors) | errors) & lineMask_);
        Reply(Cmd::NotifyLineState, std::span(&state, 1), toClient);
    }
}

}  // namespace tool
