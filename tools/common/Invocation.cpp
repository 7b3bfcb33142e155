#include <algorithm>
#include <cmath>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"

namespace tool {

const std::vector<OptionInfo>& CommonOptions() {
    static const std::vector<OptionInfo> options = {
        {"--help", false}, {"--reset", false}, {"--reply-timeout", true}};
    return options;
}

const char CommonOptionsHelp[] =
    "Common options:\n"
    "  --reset              open the port afresh (SerialOpen): the driver sets 9600 8N1, no flow\n"
    "                       control, and empties both rings. Without it, quelta attaches to a "
    "port\n"
    "                       that a client has opened since the driver started, as that client "
    "left\n"
    "                       it (settings and received bytes carry over between invocations); only\n"
    "                       the first use of a port after the driver starts opens it.\n"
    "  --reply-timeout MS   how long to wait for each reply of the driver (default 2000)\n"
    "  -h, --help           this help\n";

namespace {

// Where to look instead of a device that does not exist.
std::string WhatExists(const std::vector<std::string>& devices) {
    if (devices.empty()) return "is quelta-driver running? 'quelta list' shows the devices";
    const std::string first = quelta::ShortDeviceName(devices.front());
    const std::string last = quelta::ShortDeviceName(devices.back());
    const std::string names = devices.size() == 1   ? first
                              : devices.size() == 2 ? first + " and " + last
                                                    : first + " to " + last;
    return "the driver has " + names + "; 'quelta list' shows them";
}

}  // namespace

const std::string& Invocation::Argument(std::size_t index, const char* what) const {
    if (index >= arguments_.Positionals().size()) {
        throw UsageError(command_ + ": missing " + what);
    }
    return arguments_.Positionals()[index];
}

quelta::Device Invocation::Open(const std::string& name) const {
    return OpenWith(name, RequestedMode(), false);
}

quelta::Device Invocation::OpenExclusive(const std::string& name,
                                         const quelta::OpenOptions& base) const {
    return OpenWith(name, RequestedMode(), Exclusive(), base);
}

quelta::Device Invocation::AttachOnly(const std::string& name) const {
    return OpenWith(name, quelta::OpenMode::Attach, false);
}

quelta::OpenMode Invocation::RequestedMode() const {
    return arguments_.Has("--reset") ? quelta::OpenMode::Reset : quelta::OpenMode::AttachOrReset;
}

quelta::Device Invocation::OpenWith(const std::string& name, quelta::OpenMode mode, bool exclusive,
                                    const quelta::OpenOptions& base) const {
    quelta::OpenOptions options = base;
    options.mode = mode;
    options.exclusive = exclusive;
    if (const auto limit = arguments_.Value("--reply-timeout")) {
        const unsigned long milliseconds = ParseCount(*limit, "--reply-timeout", 3600000);
        if (milliseconds == 0) throw UsageError("--reply-timeout must be at least 1 ms");
        options.replyTimeout = std::chrono::milliseconds(milliseconds);
    }
    try {
        return quelta::Device(name, options);
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::NoSuchDevice) throw;
        const std::vector<std::string> devices = quelta::ListDevices();
        // The device's objects exist but the driver has no port for the name: its own words.
        if (std::find(devices.begin(), devices.end(), quelta::FullDeviceName(name)) !=
            devices.end()) {
            throw;
        }
        throw quelta::Error(quelta::ErrorCode::NoSuchDevice,
                            "no such device: " + name + " (" + WhatExists(devices) + ")");
    }
}

std::chrono::milliseconds ToMilliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000.0)));
}

}  // namespace tool
