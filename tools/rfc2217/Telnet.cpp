#include "tools/rfc2217/Telnet.h"

namespace tool::telnet {

void AppendEscaped(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
    for (const std::uint8_t byte : data) {
        out.push_back(byte);
        if (byte == Iac) out.push_back(Iac);
    }
}

void AppendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload,
                          std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {Iac, Sb, option});
    AppendEscaped(payload, out);
    out.insert(out.end(), {Iac, Se});
}

void Parser::FlushData() {
    if (!data_.empty()) {
        handlers_.data(data_);
        data_.clear();
    }
}

void Parser::Feed(std::span<const std::uint8_t> bytes) {
    fed_ = 0;
    for (const std::uint8_t byte : bytes) {
        if (broken_) return;
        switch (state_) {
        case State::Data:
            if (byte == Iac) {
                state_ = State::Command;
            } else {
                data_.push_back(byte);
            }
            break;
        case State::Command:
            state_ = State::Data;
            if (byte == Iac) {
                data_.push_back(Iac);
            } else if (byte >= Will && byte <= Dont) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte == Sb) {
                FlushData();
                sub_.clear();
                state_ = State::Sub;
            }  // every other command (NOP, GA, a stray SE, ...) means nothing to a serial line
            break;
        case State::Option:
            FlushData();
            handlers_.negotiation(verb_, byte);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == Iac) {
                state_ = State::SubCommand;
            } else {
                sub_.push_back(byte);
            }
            break;
        case State::SubCommand:
            if (byte == Se) {
                handlers_.subnegotiation(sub_);
                sub_.clear();
                state_ = State::Data;
            } else {
                sub_.push_back(byte);  // IAC IAC inside stands for 0xFF
                state_ = State::Sub;
            }
            break;
        }
        broken_ = sub_.size() > MaxSubnegotiation;
        ++fed_;
    }
    FlushData();
}

}  // namespace tool::telnet
