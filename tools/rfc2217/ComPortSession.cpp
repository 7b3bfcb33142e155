#include "tools/rfc2217/ComPortSession.h"

#include <array>

#include "client/LineSignals.h"
#include "wire/ExtensionRecords.h"

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

// The line state is the channel's LSR, the modem state its MSR, bit for bit; LSR's bit 7 (an
// error in the FIFO) is RFC 2217's time-out error, which a serial port does not have.
using ::Lsr::Break;
using ::Lsr::Framing;
using ::Lsr::Overrun;
using ::Lsr::Parity;
using ::Msr::TrailingRi;
constexpr std::uint8_t LineStateBits = static_cast<std::uint8_t>(~::Lsr::FifoError);
constexpr std::uint8_t LineErrorBits = Overrun | Parity | Framing | Break;
constexpr std::uint8_t ModemLevels = ::Msr::Cts | ::Msr::Dsr | ::Msr::Ri | ::Msr::Dcd;

constexpr std::uint8_t Byte(int value) { return static_cast<std::uint8_t>(value); }

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
    const quelta::PortSettings inForce = port_.GetSettings();
    if (inForce.opened) settings_ = inForce.settings;
    const quelta::ModemControl control = port_.GetModemControl();
    dtr_ = control.dtr;
    rts_ = control.rts;
    lastCounts_ = port_.GetErrorCounts();
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
    parser_.Feed(bytes);
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
    if (quelta::ExplainRefusal(settings)) return false;
    try {
        port_.Configure(settings);
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::ConfigRefused) throw;
        return false;
    }
    settings_ = settings;
    return true;
}

std::uint8_t ComPortSession::Control(std::uint8_t value) {
    quelta::LineSettings wanted = settings_;
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
        dtr_ = value == Ctl::DtrOn;
        port_.SetDtr(dtr_);
        [[fallthrough]];
    case Ctl::AskDtr:
        return dtr_ ? Ctl::DtrOn : Ctl::DtrOff;
    case Ctl::RtsOn:
    case Ctl::RtsOff:
        rts_ = value == Ctl::RtsOn;
        port_.SetRts(rts_);
        [[fallthrough]];
    case Ctl::AskRts:
        return rts_ ? Ctl::RtsOn : Ctl::RtsOff;
    case Ctl::AskInboundFlow:
        return Byte(FlowCode(settings_) + Ctl::InboundOffset);
    default:
        break;
    }
    if (flow >= Ctl::NoFlow && flow <= Ctl::HardwareFlow) {
        wanted.flowControl = flow == Ctl::HardwareFlow ? FlowControl::RtsCts : 0;
        wanted.softwareFlow = flow == Ctl::SoftwareFlow;
        TryConfigure(wanted);
    }
    // Anything else (DCD, DTR or DSR flow control) is answered with the flow control in force.
    return Byte(FlowCode(settings_) + (inbound ? Ctl::InboundOffset : 0));
}

void ComPortSession::Command(std::span<const std::uint8_t> payload,
                             std::vector<std::uint8_t>& toClient) {
    if (payload.empty()) return;
    const std::uint8_t command = payload[0];
    const std::span<const std::uint8_t> value = payload.subspan(1);
    // A set with its value missing asks for the value in force, as a value of 0 does.
    const std::uint8_t byte = value.empty() ? 0 : value[0];
    quelta::LineSettings wanted = settings_;
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
        const auto baud = static_cast<std::uint32_t>(settings_.baudRate);
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
        Reply(command, std::span(&settings_.dataBits, 1), toClient);
        return;
    }
    case Cmd::SetParity: {
        if (byte >= 1 && byte <= ParityCodes.size()) {
            wanted.parity = ParityCodes[byte - 1];
            TryConfigure(wanted);
        }
        std::uint8_t code = 1;
        for (std::uint8_t i = 0; i < ParityCodes.size(); ++i) {
            if (ParityCodes[i] == settings_.parity) code = Byte(i + 1);
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
        const std::uint8_t code = StopCode(settings_);
        Reply(command, std::span(&code, 1), toClient);
        return;
    }
    case Cmd::SetControl: {
        const std::uint8_t answer = Control(byte);
        Reply(command, std::span(&answer, 1), toClient);
        return;
    }
    case Cmd::NotifyLineState: {
        const std::uint8_t state = Byte(port_.GetLineStatus().raw & LineStateBits & lineMask_);
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
        if (byte >= Flush::Receive && byte <= Flush::Both) {
            port_.Flush(static_cast<quelta::FlushSide>(byte));
            purge_ |= byte;
        }
        Reply(command, std::span(&byte, 1), toClient);
        return;
    default:
        return;  // a command this server does not know is ignored, as the RFC asks
    }
}

std::uint8_t ComPortSession::TakePurge() {
    const std::uint8_t purge = purge_;
    purge_ = 0;
    return purge;
}

std::uint8_t ComPortSession::ModemState() {
    const std::uint8_t raw = port_.GetModemStatus().raw;
    // The change bits are this session's own, against what it last told the client: another
    // reader of the modem status may have taken the channel's.
    const std::uint8_t changed = static_cast<std::uint8_t>(((raw ^ lastModem_) & ModemLevels) >> 4);
    return static_cast<std::uint8_t>((raw & ModemLevels) | changed | (raw & TrailingRi));
}

void ComPortSession::Poll(std::vector<std::uint8_t>& toClient) {
    const std::uint8_t modem = ModemState();
    if (((modem ^ lastModem_) & ModemLevels & modemMask_) != 0 ||
        (modem & TrailingRi & modemMask_) != 0) {
        const std::uint8_t state = Byte(modem & modemMask_);
        Reply(Cmd::NotifyModemState, std::span(&state, 1), toClient);
    }
    lastModem_ = modem;
    if (lineMask_ == 0) return;
    const quelta::ErrorCounts counts = port_.GetErrorCounts();
    std::uint8_t errors = 0;
    if (counts.overruns != lastCounts_.overruns ||
        counts.ringOverruns != lastCounts_.ringOverruns) {
        errors |= Overrun;
    }
    if (counts.parityErrors != lastCounts_.parityErrors) errors |= Parity;
    if (counts.framingErrors != lastCounts_.framingErrors) errors |= Framing;
    if (counts.breaks != lastCounts_.breaks) errors |= Break;
    lastCounts_ = counts;
    if ((errors & lineMask_) != 0) {
        const std::uint8_t state = Byte(
            ((port_.GetLineStatus().raw & LineStateBits & ~LineErrorBits) | errors) & lineMask_);
        Reply(Cmd::NotifyLineState, std::span(&state, 1), toClient);
    }
}

}  // namespace tool
