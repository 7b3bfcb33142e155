// The Telnet layer of an RFC 2217 connection (RFC 854/855): data bytes with IAC doubled, option
// negotiation (WILL, WONT, DO, DONT) and subnegotiations (IAC SB ... IAC SE). The parser takes the
// client's bytes in any pieces and hands each complete element on; a subnegotiation longer than
// any this server understands marks the connection as broken instead of growing without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tool::telnet {

constexpr std::uint8_t Iac = 255;
constexpr std::uint8_t Dont = 254;
constexpr std::uint8_t Do = 253;
constexpr std::uint8_t Wont = 252;
constexpr std::uint8_t Will = 251;
constexpr std::uint8_t Sb = 250;
constexpr std::uint8_t Se = 240;

constexpr std::uint8_t Binary = 0;
constexpr std::uint8_t Echo = 1;
constexpr std::uint8_t SuppressGoAhead = 3;
constexpr std::uint8_t ComPort = 44;

// Appends data with every 0xFF doubled, as Telnet's binary mode sends it.
void AppendEscaped(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);
// IAC SB option payload... IAC SE, the payload escaped.
void AppendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload,
                          std::vector<std::uint8_t>& out);

class Parser {
public:
    struct Handlers {
        std::function<void(std::span<const std::uint8_t>)> data;
        std::function<void(std::uint8_t verb, std::uint8_t option)> negotiation;
        std::function<void(std::span<const std::uint8_t>)> subnegotiation;  // option first
    };
    static constexpr std::size_t MaxSubnegotiation = 64;

    explicit Parser(Handlers handlers) : handlers_(std::move(handlers)) {}
    // A handler that throws leaves the parser as it was before the byte that called it: feeding
    // the bytes from Fed() on again carries on where it stopped.
    void Feed(std::span<const std::uint8_t> bytes);
    // The bytes of the last Feed that were handled.
    std::size_t Fed() const { return fed_; }
    // A subnegotiation ran past MaxSubnegotiation: nothing further is understood.
    bool Broken() const { return broken_; }

private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    void FlushData();

    Handlers handlers_;
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> data_;
    std::vector<std::uint8_t> sub_;
    std::size_t fed_ = 0;
    bool broken_ = false;
};

}  // namespace tool::telnet
