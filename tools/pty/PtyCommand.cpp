#include <cstdio>

#include "tools/common/Commands.h"
#include "tools/common/DriverLink.h"
#include "tools/common/Interrupt.h"
#include "tools/pty/PtyBridge.h"
#include "tools/pty/PtyLink.h"

namespace tool {
namespace {

int RunPty(const Invocation& invocation) {
    DriverLink link(invocation, invocation.Argument(0, "device"), DriverEnd::Reattach);
    const std::vector<std::string>& positionals = invocation.Args().Positionals();
    const std::string path =
        positionals.size() > 1 ? positionals[1] : PtyLink::DefaultPath(link.ShortName());
    PtyBridge bridge(link, ReceiveTriggerOption(invocation.Args()));
    const PtyLink ptyLink(path, bridge.SlavePath());
    CatchInterrupts();
    std::printf("%s: %s -> %s (Ctrl-C ends)\n", link.ShortName().c_str(), path.c_str(),
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
        {"pty", "pty DEV [PATH] [--rx-trigger N] [--shared]",
         "give the port a pseudo-terminal for any serial program",
         "Makes a pseudo-terminal, links PATH to it and moves bytes between it and the port until\n"
         "Ctrl-C (exit 130). The default PATH is DEV in a directory only this user may enter:\n"
         "$XDG_RUNTIME_DIR/quelta, or /tmp/quelta-UID without that variable. A PATH that exists\n"
         "is replaced only when it is a symbolic link of this user's.\n\n"
         "Programs such as picocom, minicom, screen or pyserial open PATH as a serial tty. The\n"
         "speed, stop bits, CRTSCTS and IXON/IXOFF a program sets with termios become the\n"
         "port's configuration once the bytes the bridge took from the pty before have left\n"
         "the line; one the driver refuses is reported on standard error and the pty shows the\n"
         "port's settings again.\n"
         "The pty starts with the port's current settings, raw, with hupcl, DTR and RTS down.\n"
         "A program that opens the pty raises DTR and RTS; the last close drops them when hupcl\n"
         "is set. Bytes that arrive while no program has the pty open are discarded, as on a\n"
         "closed tty.\n\n"
         "A driver that stops answering is waited for (said once on standard error); when it has\n"
         "ended, the bridge waits for a driver with the same names, attaches to it and puts the\n"
         "port's settings back.\n\n"
         "What a pty cannot carry: the character size and the parity (Linux's pty holds every\n"
         "tcsetattr at CS8 without parity: set them with quelta config), the modem lines as a\n"
         "program asks (TIOCMGET and TIOCMSET fail on a pty: use quelta dtr, rts and status) and\n"
         "a break (tcsendbreak does nothing on a pty: use quelta break).\n\n"
         "Options:\n"
         "  --rx-trigger N    receive FIFO level at which the port interrupts, 1 to 56 (the open\n"
         "                    sets 56): a low one hands short frames on at once instead of after\n"
         "                    four character times; set again on a restarted driver\n"
         "  --shared          do not take the port for this bridge alone\n",
         {{"--rx-trigger", true}, {"--shared", false}}, 1, 2, RunPty},
    };
    // clang-format on
}

}  // namespace tool
