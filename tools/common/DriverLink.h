// The port of a command that runs until Ctrl-C (the bridges, recv --follow), held so that a
// stalled driver is a pause and not an end. A driver that does not answer in time (stopped, or
// starved of the processor) is waited for inside the request it holds, whose reply brings what it
// moved: the command says so once on standard error and goes on when the driver answers again,
// nothing sent twice and nothing lost. A driver that has ended (its named objects gone, or its
// owner lock free) ends the command, or, for the bridges, is waited for too: once a driver with the
// same names serves the device again, the link opens it afresh and the command puts its settings
// back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/Device.h"
#include "tools/common/Commands.h"

namespace tool {

enum class DriverEnd {
    Fail,      // the driver's end ends the command
    Reattach,  // wait for a driver with the same names and attach to it
};

class DriverLink {
public:
    // Opens the device as invocation.OpenExclusive does.
    DriverLink(const Invocation& invocation, const std::string& name, DriverEnd onEnd);
    DriverLink(const DriverLink&) = delete;
    DriverLink& operator=(const DriverLink&) = delete;

    // The open device. A recovery opens it again in the same place, so a reference stays good.
    quelta::Device& Port() { return *port_; }
    const std::string& ShortName() const { return shortName_; }

    // For an error that a request on Port() threw: rethrows it unless it says that the driver has
    // ended (or that Ctrl-C ended a stall). Otherwise waits until a driver serves the device again
    // and returns true; restore is called when it is a new one, to put the command's settings on
    // the port that it has reset. False when Ctrl-C or SIGTERM ended the wait: Port() must not be
    // used then.
    bool Recover(const quelta::Error& error, const std::function<void(quelta::Device&)>& restore);

private:
    void Say(const std::string& what) const;
    // Requests wait out a stall, saying so, until Ctrl-C.
    quelta::OpenOptions WaitingOptions();

    const Invocation& invocation_;
    std::string name_;
    std::string shortName_;
    DriverEnd onEnd_;
    bool reopening_ = false;  // looking for a driver after one ended: no word of each stall
    std::optional<quelta::Device> port_;  // last: its requests may tell of a stall already
};

// Hands data to the port one request's worth at a time and erases what the driver took, so that
// when the driver stops answering, data still holds what it has not taken. True when it took
// everything, false when its transmit ring is full.
bool HandOver(quelta::Device& port, std::vector<std::uint8_t>& data);

}  // namespace tool
