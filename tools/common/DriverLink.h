// The port of a command that runs until Ctrl-C (the bridges, recv --follow), held so that a
// stalled driver is a pause and not an end. A driver that does not answer in time (stopped, or
// starved of the processor) is waited for: the command says so once on standard error and goes on
// when the driver answers again. A driver that has ended (its named objects are gone) ends the
// command, or, for the bridges, is waited for too: once a driver with the same names serves the
// device again, the link opens it afresh and the command puts its settings back.
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

    // The open device. A recovery opens it again in the same place, so a reference stays good.
    quelta::Device& Port() { return *port_; }
    const std::string& ShortName() const { return shortName_; }

    // For an error that a request on Port() threw: rethrows it unless it says that the driver did
    // not answer. Otherwise waits until the device answers again and returns true; restore is
    // called when the driver was restarted meanwhile, to put the command's settings on the port
    // that the new driver has reset. False when Ctrl-C or SIGTERM ended the wait: Port() must not
    // be used then.
    bool Recover(const quelta::Error& error, const std::function<void(quelta::Device&)>& restore);

private:
    void Say(const std::string& what) const;

    const Invocation& invocation_;
    std::string name_;
    std::string shortName_;
    DriverEnd onEnd_;
    std::optional<quelta::Device> port_;
};

// Hands data to the port one request's worth at a time and erases what the driver took, so that
// when the driver stops answering, data still holds what it has not taken. True when it took
// everything, false when its transmit ring is full.
bool HandOver(quelta::Device& port, std::vector<std::uint8_t>& data);

}  // namespace tool
