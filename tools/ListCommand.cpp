#include <cstdio>

#include "client/DeviceName.h"
#include "client/posix/ObjectNames.h"
#include "tools/Commands.h"

namespace tool {
namespace {

int RunList(const Invocation& invocation) {
    const std::vector<std::string> devices = quelta::ListDevices();
    for (const std::string& device : devices) {
        if (invocation.Line().Has("--full")) {
            std::printf("%s\n", device.c_str());
        } else {
            std::printf("%s\n", quelta::ShortDeviceName(device).c_str());
        }
    }
    if (devices.empty()) {
        std::fprintf(stderr, "quelta: no devices in namespace '%s' (is quelta-driver running?)\n",
                     quelta::ObjectNamespace().c_str());
    }
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> ListCommands() {
    return {{"list",
             "list [--full]",
             "list the devices that exist",
             "Prints one device a line (Serial0, ...), from the named objects that the driver\n"
             "publishes; a driver that died leaves its names until the next driver start\n"
             "reclaims them. Nothing is sent to the driver.\n\n"
             "Options:\n"
             "  --full    print the full names (\\RtDevice\\Quelta\\Serial0)\n",
             {{"--full", false}},
             0,
             0,
             RunList}};
}

}  // namespace tool
