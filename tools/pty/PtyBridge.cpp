#include "tools/pty/PtyBridge.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/common/Interrupt.h"
#include "tools/pty/TermiosSettings.h"

namespace tool {
namespace {

// A bridge whose pty a program holds looks this often while idle; a busy one does not wait at
// all. At 921,600 baud the line moves about 92 bytes in a millisecond, far less than a ring holds.
constexpr int IdlePollMilliseconds = 1;
// With no program on the pty, poll reports the hang-up at once, so the bridge naps instead: this
// is how soon a program that opens the pty finds DTR and RTS raised.
constexpr std::chrono::milliseconds UnheldPollInterval{10};
// Bytes from the port the program has not read yet: beyond this the bridge stops reading the port,
// so the port's ring fills and its flow control holds the far end.
constexpr std::size_t PtyBacklog = 65536;

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

PtyBridge::PtyBridge(DriverLink& link)
    : link_(link),
      master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)),
      buffer_(link.Port().DataAreaSize()) {
    char name[128] = {};
    if (!master_.Valid() || grantpt(master_.Get()) != 0 || unlockpt(master_.Get()) != 0 ||
        ptsname_r(master_.Get(), name, sizeof name) != 0) {
        throw std::runtime_error(Reason("cannot open a pseudo-terminal"));
    }
    slavePath_ = name;
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
    cfmakeraw(&mode);
    // As a serial port's tty starts: the receiver on, the modem lines dropped at the last close.
    mode.c_cflag |= CREAD | CLOCAL | HUPCL;
    ApplySettingsToTermios(inForce_, mode);
    tcsetattr(master_.Get(), TCSANOW, &mode);
    lastAsked_ = SettingsFromTermios(mode, {});
    // Nobody has the new pty open: its lines are those of a closed tty with hupcl, so a far end
    // with hardware flow control waits for a program instead of sending into nowhere.
    link_.Port().SetDtr(false);
    link_.Port().SetRts(false);
}

quelta::LineSettings PtyBridge::PortSettings() {
    const quelta::PortSettings inForce = link_.Port().GetSettings();
    return inForce.opened ? inForce.settings : quelta::LineSettings{};
}

void PtyBridge::Run(const std::function<bool()>& stop, const Report& refused) {
    refused_ = refused;
    while (!stop()) {
        try {
            Step();
        } catch (const quelta::Error& error) {
            if (!link_.Recover(error, [this](quelta::Device& port) { Restore(port); })) return;
        }
    }
}

void PtyBridge::Step() {
    if (!held_ && !moved_) Nap(UnheldPollInterval);
    pollfd watch{master_.Get(), POLLIN, 0};
    if (!toPty_.empty()) watch.events |= POLLOUT;
    if (poll(&watch, 1, held_ && !moved_ ? IdlePollMilliseconds : 0) < 0) return;  // a signal
    moved_ = false;
    // The master hears the hang-up while no descriptor of the slave is open.
    const bool held = (watch.revents & POLLHUP) == 0;
    if (held != held_) HolderChanged(held);
    FollowSettings();
    if (!asked_ && toPort_.empty() && (watch.revents & POLLIN) != 0) ReadProgram();
    // A full ring is not progress: a pause lets the line drain it.
    if (!toPort_.empty() && HandOver(link_.Port(), toPort_)) moved_ = true;
    if (asked_ && toPort_.empty()) ApplyAsked();
    MoveToProgram();
}

void PtyBridge::HolderChanged(bool held) {
    // Noted last: when the driver stops answering on the way, the next step does it all again.
    quelta::Device& port = link_.Port();
    toPty_.clear();
    if (held) {
        port.SetDtr(true);
        port.SetRts(true);
    } else {
        // Bytes written to the master just before the last close wait in the slave's input for
        // the next program, which a closed tty would never give it.
        const Descriptor slave(
            open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (slave.Valid()) tcflush(slave.Get(), TCIFLUSH);
        termios mode{};
        if (tcgetattr(master_.Get(), &mode) == 0 && (mode.c_cflag & HUPCL) != 0) {
            port.SetDtr(false);
            port.SetRts(false);
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
    // Nobody has the new pty open: its lines are those of a closed tty with hupcl, so a far end
    // with hardware flow control waits for a program instead of sending into nowhere.
    link_.Port().SetDtr(false);
    link_.Port().SetRts(false);
}

void PtyBridge::Restore(quelta::Device& port) {
    try {
        port.Configure(inForce_);
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::ConfigRefused) throw;
        refused_(error.what());
        ShowPortSettings();
    }
    port.SetDtr(held_);
    port.SetRts(held_);
}

void PtyBridge::ReadProgram() {
    const ssize_t count = read(master_.Get(), buffer_.data(), buffer_.size());
    // Nothing, or no program left (EIO).
    if (count > 0) toPort_.insert(toPort_.end(), buffer_.begin(), buffer_.begin() + count);
}

void PtyBridge::MoveToProgram() {
    if (toPty_.size() < PtyBacklog) {
        const std::size_t count = link_.Port().Read(buffer_);
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
