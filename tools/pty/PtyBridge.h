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
//
// The bridge sleeps until something happens: the port's events, the pty's data and room, and
// two notices that a pty gives nobody by itself. The master runs in packet mode with EXTPROC on
// the pty's termios, so that every tcsetattr of a program wakes it; and an inotify watch on the
// slave tells it of every open and close, since a master with no slave open reports its hang-up
// at once and cannot be waited on.
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/Device.h"
#include "tools/common/Descriptor.h"
#include "tools/common/DriverLink.h"
#include "tools/common/PortWaiter.h"

namespace tool {

class PtyBridge {
public:
    using Report = std::function<void(const std::string&)>;

    // Opens the pty and gives it the port's current settings, raw, with hupcl as a serial tty
    // has; rxTrigger, when given, is the port's receive FIFO trigger, set now and on a restarted
    // driver. Throws std::runtime_error with a one-line reason.
    PtyBridge(DriverLink& link, std::optional<std::uint8_t> rxTrigger);
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    // Moves bytes both ways and follows the pty's settings and its users until stop() is true,
    // through stalls and restarts of the driver. A setting the driver refuses is reported and the
    // pty shows the port's settings again.
    void Run(const std::function<bool()>& stop, const Report& refused);

private:
    void Step();
    void Wait();
    void HolderChanged(bool held);
    void SetLines(quelta::Device& port);
    void FollowSettings();
    void ApplyAsked();
    void ShowPortSettings();
    void Restore(quelta::Device& port);
    void KeepNotices(termios& mode);
    void ReadProgram();
    void MoveToProgram();
    quelta::LineSettings PortSettings();

    DriverLink& link_;
    Descriptor master_;  // the only descriptor of the pty the bridge keeps: the slave's are the
                         // programs'
    std::string slavePath_;
    Descriptor opens_;  // inotify: the slave's opens and closes
    std::optional<std::uint8_t> rxTrigger_;
    std::optional<PortWaiter> waiter_;
    Report refused_;
    std::optional<quelta::LineSettings> lastAsked_;  // what the termios asked for when last seen
    std::optional<termios> asked_;  // a change waiting for the bytes written before it to go out
    quelta::LineSettings inForce_;  // the port's settings, put back on a restarted driver
    bool held_ = false;             // a program has the pty open
    bool linesUp_ = false;          // DTR and RTS as the bridge has them on the port
    bool moved_ = true;             // something moved in the last step: look again at once
    std::vector<std::uint8_t> toPort_;
    std::vector<std::uint8_t> toPty_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace tool
