#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "client/DeviceName.h"
#include "client/LineSettings.h"
#include "tools/common/Commands.h"

namespace tool {
namespace {

// The settings of the command line; none when it names no baud rate (only --rx-trigger).
std::optional<quelta::LineSettings> RequestedSettings(const Invocation& invocation) {
    const Arguments& arguments = invocation.Args();
    if (arguments.Positionals().size() < 2) return std::nullopt;
    quelta::LineSettings settings;
    const std::string& baud = arguments.Positionals()[1];
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
    return settings;
}

int RunConfig(const Invocation& invocation) {
    const std::optional<std::uint8_t> trigger = ReceiveTriggerOption(invocation.Args());
    const std::optional<quelta::LineSettings> settings = RequestedSettings(invocation);
    if (!settings && !trigger) throw UsageError("config takes a baud rate, --rx-trigger, or both");
    if (!settings && invocation.Args().Positionals().size() == 1 &&
        (invocation.Args().Has("--rtscts") || invocation.Args().Has("--xonxoff") ||
         invocation.Args().Value("--rs485"))) {
        throw UsageError("flow control and --rs485 go with a baud rate");
    }
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    std::vector<std::string> done;
    if (settings) {
        port.Configure(*settings);
        done.push_back(quelta::Describe(*settings));
    }
    if (trigger) {
        port.SetReceiveTrigger(*trigger);
        done.push_back("rx trigger " + quelta::ReceiveTriggerName(*trigger));
    }
    std::string text;
    for (const std::string& part : done) text += (text.empty() ? "" : ", ") + part;
    std::printf("%s: %s\n", quelta::ShortDeviceName(port.Name()).c_str(), text.c_str());
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> ConfigCommands() {
    return {{"config",
             "config DEV [BAUD [FRAME]] [--rtscts] [--xonxoff] [--rs485 MODE] [--rx-trigger N]",
             "set baud rate, frame format, flow control and receive trigger",
             "BAUD is the rate in bits per second; the driver refuses one that the board's clock\n"
             "cannot make. FRAME is data bits (5-8), parity (N none, O odd, E even, M mark,\n"
             "S space) and stop bits (1, 2, or 1.5 with 5 data bits): 8N1 when left out.\n"
             "Each config sets every setting: flow control left out is switched off. Settings\n"
             "equal to those in force are not sent again (sending them would reset the UART's\n"
             "FIFOs); a change is applied once what was sent before has left the line. With\n"
             "only --rx-trigger, the line settings stay as they are.\n\n"
             "Options:\n"
             "  --rtscts          automatic RTS/CTS flow control by the UART\n"
             "  --xonxoff         XON/XOFF flow control in both directions (XON 0x11, XOFF 0x13)\n"
             "  --rs485 MODE      the board's RS-485 line mode 2 or 3, with automatic direction\n"
             "                    control (ports without a selectable line driver ignore it)\n"
             "  --rx-trigger N    the receive FIFO level (1-56) at which the UART interrupts: a\n"
             "                    low one hands short frames over at once; 56, which every open\n"
             "                    sets, takes the fewest interrupts and leaves a shorter frame\n"
             "                    to the receive time-out of four characters. Kept until the\n"
             "                    port is next opened\n",
             {{"--rtscts", false}, {"--xonxoff", false}, {"--rs485", true}, {"--rx-trigger", true}},
             1,
             3,
             RunConfig}};
}

}  // namespace tool
