#include <algorithm>
#include <cstdio>

#include "client/DeviceName.h"
#include "client/posix/ObjectNames.h"
#include "tools/cli/Json.h"
#include "tools/common/Commands.h"

namespace tool {
namespace {

// One device as list shows it. A port nobody opened since the driver started is "closed" and
// stays so: list only attaches, it never opens (resets) a port. A device that fails shows the
// kind of failure as its state, and the others are still listed.
struct DeviceLine {
    std::string name;
    std::string state;  // "open", "closed" or an error code name ("not-answering")
    quelta::PortSettings settings;
    std::uint32_t waiting = 0;
    std::string error;
};

DeviceLine Look(const Invocation& invocation, const std::string& fullName) {
    DeviceLine line{fullName, "closed", {}, 0, {}};
    try {
        quelta::Device port = invocation.AttachOnly(fullName);
        line.settings = port.GetSettings();
        if (line.settings.opened) {
            line.state = "open";
            line.waiting = port.GetRxCount();
        }
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::NotOpened) {
            line.state = quelta::ErrorCodeName(error.Code());
            line.error = error.what();
        }
    }
    return line;
}

void PrintJson(const std::vector<DeviceLine>& lines) {
    std::printf("[");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const DeviceLine& line = lines[i];
        std::printf("%s\n {\"device\": %s, \"state\": %s", i == 0 ? "" : ",",
                    JsonString(line.name).c_str(), JsonString(line.state).c_str());
        if (line.state == "open") {
            std::printf(", %s, \"bytesWaiting\": %u", SettingsJsonFields(line.settings).c_str(),
                        line.waiting);
        } else if (!line.error.empty()) {
            std::printf(", \"error\": %s", JsonString(line.error).c_str());
        }
        std::printf("}");
    }
    std::printf("%s]\n", lines.empty() ? "" : "\n");
}

void PrintColumns(const std::vector<DeviceLine>& lines) {
    std::size_t nameWidth = 0;
    std::size_t settingsWidth = 0;
    std::vector<std::string> settings;
    for (const DeviceLine& line : lines) {
        nameWidth = std::max(nameWidth, line.name.size());
        settings.push_back(line.state == "open" ? quelta::DescribeBriefly(line.settings.settings)
                                                : "");
        settingsWidth = std::max(settingsWidth, settings.back().size());
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const DeviceLine& line = lines[i];
        const int width = static_cast<int>(nameWidth);
        if (line.state == "open") {
            std::printf("%-*s  %-6s  %-*s  %u bytes waiting\n", width, line.name.c_str(),
                        line.state.c_str(), static_cast<int>(settingsWidth), settings[i].c_str(),
                        line.waiting);
        } else {
            std::printf("%-*s  %s\n", width, line.name.c_str(), line.state.c_str());
        }
    }
}

int RunList(const Invocation& invocation) {
    const Arguments& options = invocation.Args();
    const std::vector<std::string> devices = quelta::ListDevices();
    if (devices.empty()) {
        std::fprintf(stderr, "quelta: no devices in namespace '%s' (is quelta-driver running?)\n",
                     quelta::ObjectNamespace().c_str());
    }
    std::vector<DeviceLine> lines;
    for (const std::string& device : devices) {
        lines.push_back(Look(invocation, device));
        if (!options.Has("--full")) lines.back().name = quelta::ShortDeviceName(device);
    }
    if (options.Has("--json")) {
        PrintJson(lines);
    } else {
        PrintColumns(lines);
    }
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> ListCommands() {
    return {{"list",
             "list [--full] [--json]",
             "list the devices, open or closed, with settings",
             "Prints one device a line, from the named objects that the driver publishes: its\n"
             "name, 'open' or 'closed' (no client has opened the port since the driver started,\n"
             "or one closed it), and for an open port its settings (115200 8N1 RTS/CTS) and the\n"
             "bytes waiting in its receive ring. A device that does not answer shows the kind of\n"
             "failure instead (not-answering: a driver that died leaves its names until the next\n"
             "driver start reclaims them). list only attaches to ports: it never opens or resets\n"
             "one, and --reset is ignored.\n\n"
             "Options:\n"
             "  --full    print the full names (\\RtDevice\\Quelta\\Serial0)\n"
             "  --json    a JSON array with an object for each device\n",
             {{"--full", false}, {"--json", false}},
             0,
             0,
             RunList}};
}

}  // namespace tool
