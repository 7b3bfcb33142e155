#include "tools/pty/PtyBridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/pty/TermiosSettings.h"

namespace tool {
namespace {

// Bytes from the port the program has not read yet: beyond this the bridge stops reading the port,
// so the port's ring fills and its flow control holds the far end.
constexpr std::size_t PtyBacklog = 65536;

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

PtyBridge::PtyBridge(DriverLink& link, std::optional<std::uint8_t> rxTrigger)
    : link_(link),
      master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
      opens_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      rxTrigger_(rxTrigger),
      buffer_(link.Port().DataAreaSize() + 1) {
    char name[128] = {};
    if (!master_.Valid() || grantpt(master_.Get()) != 0 || unlockpt(master_.Get()) != 0 ||
        ptsname_r(master_.Get(), name, sizeof name) != 0) {
        throw std::runtime_error(Reason("cannot open a pseudo-terminal"));
    }
    slavePath_ = name;
    // Packet mode: what the master reads starts with a status byte, and a tcsetattr on the slave
    // (with EXTPROC set) makes the master readable with TIOCPKT_IOCTL.
    const int on = 1;
    if (!opens_.Valid() ||
        inotify_add_watch(opens_.Get(), name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0 ||
        ioctl(master_.Get(), TIOCPKT, &on) != 0) {
        throw std::runtime_error(Reason("cannot watch the pseudo-terminal " + slavePath_));
    }
    // Termios requests on the master act on the slave's settings, which live as long as the
    // master: the bridge never needs the slave open.
    termios mode{};
    if (tcgetattr(master_.Get(), &mode) != 0) {
        throw std::runtime_error(Reason("cannot read the settings of " + slavePath_));
    }
    inForce_ = PortSettings();
    // A port that nobody has configured receives nothing; one that runs with these settings is
    // sent nothing.
    link_.Port().Configure(inForce_);
    if (rxTrigger_) link_.Port().SetReceiveTrigger(*rxTrigger_);
    cfmakeraw(&mode);
    // As a serial port's tty starts: the receiver on, the modem lines dropped at the last close.
    mode.c_cflag |= CREAD | CLOCAL | HUPCL;
    ApplySettingsToTermios(inForce_, mode);
    KeepNotices(mode);
    tcsetattr(master_.Get(), TCSANOW, &mode);
    lastAsked_ = SettingsFromTermios(mode, {});
    // Nobody has the new pty open: its lines are those of a closed tty with hupcl, so a far end
    // with hardware flow control waits for a program instead of sending into nowhere.
    SetLines(link_.Port());
}

// EXTPROC is what makes a program's tcsetattr wake the master; in raw mode, which serial programs
// use, it changes nothing else. A program that clears it is noticed that once, and the bridge
// puts it back.
void PtyBridge::KeepNotices(termios& mode) { mode.c_lflag |= EXTPROC; }

void PtyBridge::SetLines(quelta::Device& port) {
    port.SetDtr(linesUp_);
    port.SetRts(linesUp_);
}

quelta::LineSettings PtyBridge::PortSettings() {
    const quelta::PortSettings inForce = link_.Port().GetSettings();
    return inForce.opened ? inForce.settings : quelta::LineSettings{};
}

void PtyBridge::Run(const std::function<bool()>& stop, const Report& refused) {
    refused_ = refused;
    while (!stop()) {
        try {
            // The modem lines are not the pty's: a line whose flow control holds and releases the
            // far end changes CTS thousands of times a second, which would only wake the bridge.
            if (!waiter_)
                waiter_.emplace(link_.Port(), PortEvent::Received | PortEvent::TransmitRoom |
                                                  PortEvent::TransmitRingEmpty);
            Step();
        } catch (const quelta::Error& error) {
            waiter_.reset();  // it waits on the port that the recovery replaces
            if (!link_.Recover(error, [this](quelta::Device& port) { Restore(port); })) return;
        }
    }
}

void PtyBridge::Step() {
    Wait();
    // The master hears the hang-up while no descriptor of the slave is open.
    pollfd look{master_.Get(), POLLIN, 0};
    if (poll(&look, 1, 0) < 0) return;  // a signal
    const bool held = (look.revents & POLLHUP) == 0;
    FollowSettings();
    // Applying a change that turns on the channel's automatic flow control raises DTR and RTS
    // (the bridge puts them back at once, but the far end may have started sending meanwhile):
    // a pty that nobody holds keeps the change until a program opens it, or has written bytes
    // for it, and a program that opens the pty finds the change in force before the lines go up.
    int written = 0;  // data the program left, not counting the master's notices
    const bool programThere =
        held || (ioctl(master_.Get(), FIONREAD, &written) == 0 && written > 0);
    if (asked_ && toPort_.empty() && programThere) ApplyAsked();
    if (held != held_) HolderChanged(held);
    if (!asked_ && toPort_.empty() && (look.revents & POLLIN) != 0) ReadProgram();
    // A full ring is not progress: the port's room event wakes the bridge when it has drained.
    if (!toPort_.empty() && HandOver(link_.Port(), toPort_)) moved_ = true;
    if (asked_ && toPort_.empty() && programThere) ApplyAsked();
    MoveToProgram();
}

// Sleeps until the port, the pty or the slave's opens and closes have news, unless the last step
// moved something and may find more at once.
void PtyBridge::Wait() {
    pollfd watch[3] = {
        {waiter_->Descriptor(), POLLIN, 0}, {opens_.Get(), POLLIN, 0}, {master_.Get(), 0, 0}};
    // Without a program on the pty the master reports its hang-up at once: the opens say when to
    // look again.
    if (!asked_ && toPort_.empty()) watch[2].events |= POLLIN;
    if (!toPty_.empty()) watch[2].events |= POLLOUT;
    const nfds_t count = held_ ? 3 : 2;
    const bool woken = poll(watch, count, moved_ ? 0 : -1) > 0;
    moved_ = false;
    if (!woken) return;
    if ((watch[1].revents & POLLIN) != 0) {
        // Which open or close it was does not matter: the master tells whether the pty is held.
        while (read(opens_.Get(), buffer_.data(), buffer_.size()) > 0) {}
    }
    (void)waiter_->Take();  // rethrows the end of the driver that the waiter met
}

void PtyBridge::HolderChanged(bool held) {
    // Noted last: when the driver stops answering on the way, the next step does it all again.
    quelta::Device& port = link_.Port();
    toPty_.clear();
    if (held) {
        linesUp_ = true;
        SetLines(port);
    } else {
        // Bytes written to the master just before the last close wait in the slave's input for
        // the next program, which a closed tty would never give it.
        const Descriptor slave(
            open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (slave.Valid()) tcflush(slave.Get(), TCIFLUSH);
        termios mode{};
        if (tcgetattr(master_.Get(), &mode) == 0 && (mode.c_cflag & HUPCL) != 0) {
            linesUp_ = false;
            SetLines(port);
        }
    }
    held_ = held;
}

void PtyBridge::FollowSettings() {
    if (asked_) return;
    termios mode{};
    if (tcgetattr(master_.Get(), &mode) != 0) return;
    // Compared on their own, the termios fields a program changes; applied onto what the port
    // has then, which a `quelta config` may have changed meanwhile.
    if ((mode.c_lflag & EXTPROC) == 0) {
        KeepNotices(mode);
        tcsetattr(master_.Get(), TCSANOW, &mode);
    }
    const std::optional<quelta::LineSettings> asked = SettingsFromTermios(mode, {});
    if (!asked || asked == lastAsked_) return;
    lastAsked_ = asked;  // a refused setting is reported once, not at every look
    asked_ = mode;
    // What the bridge has read of the program's bytes goes out first, with the settings they
    // were written under: the change waits until the port has taken them, and the port applies
    // it once they have left the line. Bytes still in the pty go out with the new settings. A
    // pty cannot tell which of them the program wrote before its tcsetattr (tcdrain does not
    // wait on a pty); the usual order is a change and then the bytes for it (pyserial's open and
    // first write), so this order is the one kept.
}

void PtyBridge::ApplyAsked() {
    quelta::Device& port = link_.Port();
    try {
        const quelta::LineSettings settings = *SettingsFromTermios(*asked_, PortSettings());
        port.Configure(settings);
        inForce_ = settings;
        // Turning on the channel's automatic flow control drives its modem-control outputs:
        // lines dropped because no program holds the pty must stay down, or the far end sends
        // into a pty whose bytes are discarded.
        SetLines(port);
    } catch (const quelta::Error& error) {
        const bool refused = error.Code() == quelta::ErrorCode::ConfigRefused ||
                             error.Code() == quelta::ErrorCode::TimedOut;
        if (!refused) throw;
        refused_(error.what());
        ShowPortSettings();
    }
    asked_.reset();
}

// After a refusal the program's tcgetattr shows what the port really runs with.
void PtyBridge::ShowPortSettings() {
    termios mode{};
    if (tcgetattr(master_.Get(), &mode) != 0) return;
    ApplySettingsToTermios(PortSettings(), mode);
    tcsetattr(master_.Get(), TCSANOW, &mode);
    lastAsked_ = SettingsFromTermios(mode, {});
}

void PtyBridge::Restore(quelta::Device& port) {
    try {
        port.Configure(inForce_);
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::ConfigRefused) throw;
        refused_(error.what());
        ShowPortSettings();
    }
    if (rxTrigger_) port.SetReceiveTrigger(*rxTrigger_);
    SetLines(port);
}

void PtyBridge::ReadProgram() {
    const ssize_t count = read(master_.Get(), buffer_.data(), buffer_.size());
    // Nothing, or no program left (EIO). Otherwise a status byte first: data after TIOCPKT_DATA,
    // nothing after a notice (a tcsetattr, which FollowSettings looks at in the next step).
    if (count <= 0) return;
    moved_ = true;
    if (buffer_[0] == TIOCPKT_DATA) {
        toPort_.insert(toPort_.end(), buffer_.begin() + 1, buffer_.begin() + count);
    }
}

void PtyBridge::MoveToProgram() {
    if (toPty_.size() < PtyBacklog) {
        const std::size_t count = link_.Port().Read(std::span(buffer_).first(buffer_.size() - 1));
        moved_ = moved_ || count > 0;
        // With no program on the pty the bytes are dropped, as a closed tty's are.
        if (held_) {
            toPty_.insert(toPty_.end(), buffer_.begin(),
                          buffer_.begin() + static_cast<std::ptrdiff_t>(count));
        }
    }
    if (!toPty_.empty()) {
        const ssize_t written = write(master_.Get(), toPty_.data(), toPty_.size());
        if (written > 0) {
            toPty_.erase(toPty_.begin(), toPty_.begin() + written);
            moved_ = true;
        }
    }
}

}  // namespace tool
