// One client's RFC 2217 session on a driver port: Telnet negotiation (binary both ways, suppress
// go-ahead, the COM port option), the COM port commands applied to the port with the value in
// force as each answer, and the client's data for the line. The socket is the caller's: bytes in
// through FromClient, everything for the client out through the buffer it is given.
//
// The channel's flow control works in both directions at once, so inbound and outbound flow
// settings are one setting; DCD, DTR and DSR flow control do not exist on the channel.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "client/Device.h"
#include "tools/rfc2217/Telnet.h"

namespace tool {

// What a client has made of the port, which the server puts back on a port that a restarted
// driver has reset.
struct PortState {
    quelta::LineSettings settings;
    bool dtr = false;
    bool rts = false;
};

PortState ReadPortState(quelta::Device& port);
// Errors other than the driver's refusal of the settings are thrown.
void RestorePortState(quelta::Device& port, const PortState& state);

class ComPortSession {
public:
    explicit ComPortSession(quelta::Device& port);

    // What the server says first: its options and the modem state.
    void Greet(std::vector<std::uint8_t>& toClient);
    // The client's bytes: line data goes to toPort, answers to toClient. False once the
    // connection is beyond understanding (it should be closed). Handling stops, keeping the
    // bytes from the command on, at a change of the line settings while toPort holds the data
    // sent before it (which must go out first, with the settings it was sent under), and when a
    // request to the driver throws. A call with no new bytes carries on, once toPort is empty
    // or the driver answers again.
    bool FromClient(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& toPort,
                    std::vector<std::uint8_t>& toClient);
    bool Unfinished() const { return !unparsed_.empty(); }
    const PortState& State() const { return state_; }
    // Looks at the modem and line state and notifies the client of changes its masks select.
    void Poll(std::vector<std::uint8_t>& toClient);
    // The client asked the server to stop sending line data for now (FLOWCONTROL-SUSPEND).
    bool Suspended() const { return suspended_; }
    // PURGE-DATA: the sides the client asked to empty since last asked, which the caller's own
    // buffers of line data also give up.
    struct Purged {
        bool receive = false;   // data from the line, not yet sent to the client
        bool transmit = false;  // the client's data, not yet handed to the port
    };
    Purged TakePurge();

private:
    struct OptionState {
        bool we = false;           // this server does the option
        bool they = false;         // the client does it
        bool asked = false;        // this server sent DO: the client's WILL needs no answer
        bool refusedWe = false;    // WONT already said: a repeated DO is not answered again
        bool refusedThey = false;  // DONT already said
    };

    void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& toClient);
    void Command(std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& toClient);
    void Reply(std::uint8_t command, std::span<const std::uint8_t> value,
               std::vector<std::uint8_t>& toClient);
    std::uint8_t Control(std::uint8_t value);
    bool TryConfigure(const quelta::LineSettings& settings);
    std::uint8_t LineState();
    std::uint8_t ModemState();

    quelta::Device& port_;
    telnet::Parser parser_;
    std::vector<std::uint8_t> unparsed_;           // the client's bytes not handled yet
    std::vector<std::uint8_t>* toPort_ = nullptr;  // the buffers of the FromClient in progress
    std::vector<std::uint8_t>* toClient_ = nullptr;
    PortState state_;
    bool break_ = false;
    bool suspended_ = false;
    Purged purged_;
    std::uint8_t lineMask_ = 0;
    std::uint8_t modemMask_ = 0xFF;
    std::uint8_t lastModem_ = 0;
    quelta::ErrorCounts lastCounts_;
    OptionState options_[256];
};

}  // namespace tool
