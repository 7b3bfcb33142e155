// A pseudo-terminal in front of a driver port, so that any serial program (picocom, minicom,
// screen, socat, pyserial on a tty path) can use the port: bytes both ways, and the line settings
// the program makes with tcsetattr go to the port.
//
// What a pty cannot carry: the character size and the parity (Linux's pty forces CS8 without
// PARENB on every tcsetattr, so they stay as the port has them), the modem lines (TIOCMGET and
// TIOCMSET fail on a pty) and a break (tcsendbreak on a pty does nothing the master could see).
// The pty's own rate means nothing: bytes move as fast as the port takes them.
#pragma once

#include <termios.h>

#include <functional>
#include <optional>
#include <string>

#include "client/Device.h"
#include "tools/common/Descriptor.h"

namespace tool {

class PtyBridge {
public:
    // Opens the pty, gives the slave the port's current settings in raw mode and makes linkPath a
    // symbolic link to it (replacing a symbolic link there; anything else is an error).
    // Throws std::runtime_error with a one-line reason.
    PtyBridge(quelta::Device& port, std::string linkPath);
    ~PtyBridge();  // removes the link while it still points to this pty
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    // Moves bytes both ways and follows the slave's settings until stop() is true. A setting the
    // driver refuses is reported through refused and the port keeps its settings. Throws
    // quelta::Error when the driver stops answering.
    void Run(const std::function<bool()>& stop,
             const std::function<void(const std::string&)>& refused);

private:
    void FollowSettings(const std::function<void(const std::string&)>& refused);
    quelta::LineSettings PortSettings();

    quelta::Device& port_;
    Descriptor master_;
    Descriptor slave_;  // held open so the pty lives while no program has it open
    std::string slavePath_;
    std::string linkPath_;  // empty until the link is made
    std::optional<quelta::LineSettings> lastAsked_;
};

}  // namespace tool
