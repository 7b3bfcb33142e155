#include <cstdio>

#include "client/DeviceName.h"
#include "client/LineSettings.h"
#include "tools/common/Commands.h"

namespace tool {
namespace {

int RunConfig(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    quelta::LineSettings settings;
    const std::string& baud = invocation.Argument(1, "baud rate");
    settings.baudRate = static_cast<std::int32_t>(ParseCount(baud, "baud rate", 0x7FFFFFFF));
    if (settings.baudRate < 1) throw UsageError("baud rate must be at least 1");
    if (arguments.Positionals().size() > 2 &&
        !quelta::ParseFrameFormat(arguments.Positionals()[2], settings)) {
        throw UsageError("frame format must look like 8N1, 7E1, 8O2 or 5N1.5, not '" +
                         arguments.Positionals()[2] + "'");
    }
    if (arguments.Has("--rtscts")) settings.flowControl = FlowControl::RtsCts;
    settings.softwareFlow = arguments.Has("--xonxoff");
    if (const auto mode = arguments.Value("--rs485")) {
        const unsigned long value = ParseCount(*mode, "--rs485", 255);
        if (value != LineMode::Rs485A && value != LineMode::Rs485B) {
            throw UsageError("--rs485 takes the board's RS-485 line mode 2 or 3");
        }
        settings.lineMode = static_cast<std::uint8_t>(value);
    }
    if (const auto reason = quelta::ExplainRefusal(settings)) {
        throw UsageError(*reason);
    }
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    port.Configure(settings);
    std::printf("%s: %s\n", quelta::ShortDeviceName(port.Name()).c_str(),
                quelta::Describe(settings).c_str());
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> ConfigCommands() {
    return {{"config",
             "config DEV BAUD [FRAME] [--rtscts] [--xonxoff] [--rs485 MODE]",
             "set baud rate, frame format and flow control",
             "BAUD is the rate in bits per second; the driver refuses one that the board's clock\n"
             "cannot make. FRAME is data bits (5-8), parity (N none, O odd, E even, M mark,\n"
             "S space) and stop bits (1, 2, or 1.5 with 5 data bits): 8N1 when left out.\n"
             "Each config sets every setting: flow control left out is switched off. Settings\n"
             "equal to those in force are not sent again (sending them would reset the UART's\n"
             "FIFOs); a change is applied once what was sent before has left the line.\n\n"
             "Options:\n"
             "  --rtscts     automatic RTS/CTS flow control by the UART\n"
             "  --xonxoff    XON/XOFF flow control in both directions (XON 0x11, XOFF 0x13)\n"
             "  --rs485 MODE the board's RS-485 line mode 2 or 3, with automatic direction\n"
             "               control (ports without a selectable line driver ignore it)\n",
             {{"--rtscts", false}, {"--xonxoff", false}, {"--rs485", true}},
             2,
             3,
             RunConfig}};
}

}  // namespace tool
