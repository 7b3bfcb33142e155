#include <cstdio>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"

namespace tool {
namespace {

int RunSignal(const Invocation& invocation) {
    const std::string& name = invocation.Argument(0, "device");
    const bool on = ParseOnOff(invocation.Argument(1, "on or off"));
    quelta::Device port = invocation.Open(name);
    if (invocation.Command() == "dtr") {
        port.SetDtr(on);
    } else if (invocation.Command() == "rts") {
        port.SetRts(on);
    } else {
        port.SetBreak(on);
    }
    std::printf("%s: %s %s\n", quelta::ShortDeviceName(port.Name()).c_str(),
                invocation.Command().c_str(), on ? "on" : "off");
    return ExitOk;
}

int RunClose(const Invocation& invocation) {
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    port.ClosePort();
    std::printf("%s: closed\n", quelta::ShortDeviceName(port.Name()).c_str());
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> SignalCommands() {
    // clang-format off
    return {
        {"dtr", "dtr DEV on|off", "raise or drop DTR",
         "Drives the DTR output of the port. With RTS/CTS flow control the UART may drive the\n"
         "modem outputs itself.\n",
         {}, 2, 2, RunSignal},
        {"rts", "rts DEV on|off", "raise or drop RTS",
         "Drives the RTS output of the port. With automatic RTS flow control the UART drives\n"
         "it by the fill of its receive FIFO.\n",
         {}, 2, 2, RunSignal},
        {"break", "break DEV on|off", "start or end a break (line held at space)",
         "'on' holds the transmit line at space. 'off' ends the break unless the driver is still\n"
         "sending bytes; then the break stays on and a later 'off' ends it.\n",
         {}, 2, 2, RunSignal},
        {"close", "close DEV", "close the port (SerialClose)",
         "Switches the port's interrupts off, empties both rings and drops RTS and DTR. The\n"
         "next config makes it work again.\n",
         {}, 1, 1, RunClose},
    };
    // clang-format on
}

}  // namespace tool
