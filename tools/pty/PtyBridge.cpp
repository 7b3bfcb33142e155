#include "tools/pty/PtyBridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tools/pty/TermiosSettings.h"

namespace tool {
namespace {

// An idle bridge looks this often; a busy one does not wait at all. At 921,600 baud the line
// moves about 92 bytes in a millisecond, far less than a ring holds.
constexpr int IdlePollMilliseconds = 1;
// Bytes from the port the program has not read yet: beyond this the bridge stops reading the port,
// so the port's ring fills and its flow control holds the far end.
constexpr std::size_t PtyBacklog = 65536;

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

PtyBridge::PtyBridge(quelta::Device& port, std::string linkPath)
    : port_(port), master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    char name[128] = {};
    if (!master_.Valid() || grantpt(master_.Get()) != 0 || unlockpt(master_.Get()) != 0 ||
        ptsname_r(master_.Get(), name, sizeof name) != 0) {
        throw std::runtime_error(Reason("cannot open a pseudo-terminal"));
    }
    slavePath_ = name;
    slave_ = Descriptor(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode{};
    if (!slave_.Valid() || tcgetattr(slave_.Get(), &mode) != 0) {
        throw std::runtime_error(Reason("cannot open " + slavePath_));
    }
    // The program on the slave sees the rate and frame the port really runs with.
    ApplySettingsToTermios(PortSettings(), mode);
    tcsetattr(slave_.Get(), TCSANOW, &mode);
    lastAsked_ = SettingsFromTermios(mode, {});
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            throw std::runtime_error(linkPath + " exists and is not a symbolic link");
        }
        unlink(linkPath.c_str());
    }
    if (symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
        throw std::runtime_error(Reason("cannot link " + linkPath));
    }
    linkPath_ = std::move(linkPath);
}

PtyBridge::~PtyBridge() {
    if (!linkPath_.empty() && LinkTarget(linkPath_) == slavePath_) {
        unlink(linkPath_.c_str());
    }
}

quelta::LineSettings PtyBridge::PortSettings() {
    const quelta::PortSettings inForce = port_.GetSettings();
    return inForce.opened ? inForce.settings : quelta::LineSettings{};
}

void PtyBridge::FollowSettings(const std::function<void(const std::string&)>& refused) {
    termios mode{};
    if (tcgetattr(slave_.Get(), &mode) != 0) return;
    // Compared on their own, the termios fields a program changes; applied onto what the port
    // has now, which a `quelta config` may have changed meanwhile.
    const std::optional<quelta::LineSettings> asked = SettingsFromTermios(mode, {});
    if (!asked || asked == lastAsked_) return;
    lastAsked_ = asked;  // a refused setting is reported once, not at every look
    try {
        port_.Configure(*SettingsFromTermios(mode, PortSettings()));
    } catch (const quelta::Error& error) {
        if (error.Code() != quelta::ErrorCode::ConfigRefused) throw;
        refused(error.what());
    }
}

void PtyBridge::Run(const std::function<bool()>& stop,
                    const std::function<void(const std::string&)>& refused) {
    std::vector<std::uint8_t> toPort;
    std::vector<std::uint8_t> toPty;
    std::vector<std::uint8_t> buffer(port_.DataAreaSize());
    bool moved = true;
    while (!stop()) {
        FollowSettings(refused);
        pollfd watch{master_.Get(), 0, 0};
        if (toPort.empty()) watch.events |= POLLIN;
        if (!toPty.empty()) watch.events |= POLLOUT;
        const int ready = poll(&watch, 1, moved ? 0 : IdlePollMilliseconds);
        moved = false;
        if (ready > 0 && (watch.revents & POLLIN) != 0) {
            const ssize_t count = read(master_.Get(), buffer.data(), buffer.size());
            if (count > 0) {
                toPort.assign(buffer.begin(), buffer.begin() + count);
                // A program that set the line and then wrote has its setting seen first.
                FollowSettings(refused);
            }
        }
        if (!toPort.empty()) {
            const std::size_t taken = port_.Write(toPort);
            toPort.erase(toPort.begin(), toPort.begin() + static_cast<std::ptrdiff_t>(taken));
            moved = moved || taken > 0;
        }
        if (toPty.size() < PtyBacklog) {
            const std::size_t count = port_.Read(buffer);
            toPty.insert(toPty.end(), buffer.begin(),
                         buffer.begin() + static_cast<std::ptrdiff_t>(count));
            moved = moved || count > 0;
        }
        if (!toPty.empty()) {
            const ssize_t written = write(master_.Get(), toPty.data(), toPty.size());
            if (written > 0) {
                toPty.erase(toPty.begin(), toPty.begin() + written);
                moved = true;
            }
        }
    }
}

}  // namespace tool
