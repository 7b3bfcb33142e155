#include <cstdio>

#include "client/DeviceName.h"
#include "tools/common/Commands.h"
#include "tools/common/Interrupt.h"
#include "tools/pty/PtyBridge.h"

namespace tool {
namespace {

int RunPty(const Invocation& invocation) {
    const std::string& device = invocation.Argument(0, "device");
    quelta::Device port = invocation.OpenExclusive(device);
    const std::string shortName = quelta::ShortDeviceName(port.Name());
    const std::string link = invocation.Args().Positionals().size() > 1
                                 ? invocation.Args().Positionals()[1]
                                 : "/tmp/quelta-" + shortName;
    PtyBridge bridge(port, link);
    CatchInterrupts();
    std::printf("%s: %s -> %s (Ctrl-C ends)\n", shortName.c_str(), link.c_str(),
                bridge.SlavePath().c_str());
    std::fflush(stdout);
    try {
        bridge.Run(Interrupted, [](const std::string& reason) {
            std::fprintf(stderr, "quelta: %s\n", reason.c_str());
        });
    } catch (const quelta::Error& error) {
        throw quelta::Error(error.Code(), std::string(error.what()) + "; the bridge has ended");
    }
    return ExitInterrupted;
}

}  // namespace

std::vector<CommandEntry> PtyCommands() {
    // clang-format off
    return {
        {"pty", "pty DEV [PATH] [--shared]", "give the port a pseudo-terminal for any serial program",
         "Makes a pseudo-terminal, links PATH (default /tmp/quelta-DEV) to it and moves bytes\n"
         "between it and the port until Ctrl-C (exit 130), or until the driver ends (exit 1).\n"
         "Programs such as picocom, minicom, screen or pyserial open PATH as a serial line. The\n"
         "speed, stop bits, CRTSCTS and IXON/IXOFF a program sets with termios become the\n"
         "port's configuration; one the driver refuses is reported on standard error and the\n"
         "port keeps its settings. The pty starts with the port's current settings, raw.\n\n"
         "What a pty cannot carry: the character size and the parity (Linux's pty holds every\n"
         "tcsetattr at CS8 without parity: set them with quelta config), the modem lines\n"
         "(TIOCMGET and TIOCMSET fail on a pty: use quelta dtr, rts and status) and a break\n"
         "(tcsendbreak does nothing on a pty: use quelta break).\n\n"
         "Options:\n"
         "  --shared    do not take the port for this bridge alone\n",
         {{"--shared", false}}, 1, 2, RunPty},
    };
    // clang-format on
}

}  // namespace tool
