// A pseudo-terminal in front of a driver port, so that any serial program (picocom, minicom,
// screen, socat, pyserial on a tty path) can use the port as a serial tty: bytes both ways, the
// line settings the program makes with tcsetattr go to the port, opening the pty raises DTR and
// RTS and the last close drops them (with hupcl), and what arrives while no program holds the pty
// is discarded, as a closed tty does.
//
// What a pty cannot carry: the character size and the parity (Linux's pty forces CS8 without
// PARENB on every tcsetattr, so they stay as the port has them), the modem lines as a program
// asks for them (TIOCMGET and TIOCMSET fail on a pty) and a break (tcsendbreak on a pty does
// nothing the master could see). The pty's own rate means nothing: bytes move as fast as the port
// takes them.
#pragma once

#include <termios.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/Device.h"
#include "tools/common/Descriptor.h"
#include "tools/common/DriverLink.h"

namespace tool {

class PtyBridge {
public:
    using Report = std::function<void(const std::string&)>;

    // Opens the pty and gives it the port's current settings, raw, with hupcl as a serial tty
    // has. Throws std::runtime_error with a one-line reason.
    explicit PtyBridge(DriverLink& link);
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    // Moves bytes both ways and follows the pty's settings and its users until stop() is true,
    // through stalls and restarts of the driver. A setting the driver refuses is reported and the
    // pty shows the port's settings again.
    void Run(const std::function<bool()>& stop, const Report& refused);

private:
    void Step();
    void HolderChanged(bool held);
    void FollowSettings();
    void ApplyAsked();
    void ShowPortSettings();
    void Restore(quelta::Device& port);
    void ReadProgram();
    void MoveToProgram();
    quelta::LineSettings PortSettings();

    DriverLink& link_;
    Descriptor master_;  // the only descriptor the bridge keeps: the slave's are the programs'
    std::string slavePath_;
    Report refused_;
    std::optional<quelta::LineSettings> lastAsked_;  // what the termios asked for when last seen
    std::optional<termios> asked_;  // a change waiting for the bytes written before it to go out
    quelta::LineSettings inForce_;  // the port's settings, put back on a restarted driver
    bool held_ = false;             // a program has the pty open
    bool moved_ = true;             // bytes moved in the last step: look again at once
    std::vector<std::uint8_t> toPort_;
    std::vector<std::uint8_t> toPty_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace tool
