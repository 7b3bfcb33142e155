#include "sim/PtyLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "sim/Board.h"

namespace sim {
namespace {

constexpr int PollMilliseconds = 2;  // how often the channel's output is collected
constexpr auto NobodyThere = std::chrono::milliseconds(20);
constexpr std::size_t InboundBacklog = 4096;    // stop reading the pty beyond this many queued
constexpr std::size_t OutboundBacklog = 65536;  // bytes the slave side has not read yet

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// Nothing there, or a symbolic link (to be replaced).
bool LinkableAt(const std::string& path) {
    struct stat existing {};
    return lstat(path.c_str(), &existing) != 0 || S_ISLNK(existing.st_mode);
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

PtyLink::PtyLink(Board& board, std::uint32_t channel, std::string linkPath)
    : board_(board), channel_(channel), linkPath_(std::move(linkPath)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        const std::string reason = Reason("cannot open a pseudo-terminal");
        if (master_ >= 0) {
            close(master_);
        }
        throw std::runtime_error(reason);
    }
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        const std::string reason = Reason("cannot name the pseudo-terminal");
        close(master_);
        throw std::runtime_error(reason);
    }
    slavePath_ = name;
    // Raw bytes both ways until the program on the slave side sets its own mode.
    termios mode{};
    if (tcgetattr(master_, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(master_, TCSANOW, &mode);
    }
    if (!linkPath_.empty() && !LinkableAt(linkPath_)) {
        close(master_);
        throw std::runtime_error(linkPath_ + " exists and is not a symbolic link");
    }
    thread_ = std::thread([this] { Run(); });
}

bool PtyLink::Link() {
    if (linkPath_.empty()) {
        return true;
    }
    if (!LinkableAt(linkPath_)) {
        errno = EEXIST;
        return false;
    }
    unlink(linkPath_.c_str());
    return symlink(slavePath_.c_str(), linkPath_.c_str()) == 0;
}

PtyLink::~PtyLink() {
    stop_ = true;
    thread_.join();
    close(master_);
    RemoveLink();
}

void PtyLink::RemoveLink() {
    if (!linkPath_.empty() && LinkTarget(linkPath_) == slavePath_) {
        unlink(linkPath_.c_str());
    }
}

void PtyLink::Run() {
    std::vector<std::uint8_t> outbound;
    std::vector<std::uint8_t> inbound(1024);
    while (!stop_) {
        pollfd watch{master_, 0, 0};
        if (board_.FarEndPending(channel_) < InboundBacklog) {
            watch.events |= POLLIN;
        }
        if (!outbound.empty()) {
            watch.events |= POLLOUT;
        }
        const int ready = poll(&watch, 1, PollMilliseconds);
        if (ready > 0 && (watch.revents & POLLIN) != 0) {
            const ssize_t got = read(master_, inbound.data(), inbound.size());
            if (got > 0) {
                board_.Inject(channel_, std::span(inbound.data(), static_cast<std::size_t>(got)));
            }
        }
        std::vector<std::uint8_t> sent = board_.TakeSent(channel_);
        if (ready > 0 && (watch.revents & POLLHUP) != 0 && (watch.revents & POLLIN) == 0) {
            // No program has the slave open: what the channel sends goes nowhere.
            outbound.clear();
            std::this_thread::sleep_for(NobodyThere);
            continue;
        }
        const std::size_t room = OutboundBacklog - std::min(outbound.size(), OutboundBacklog);
        outbound.insert(outbound.end(), sent.begin(),
                        sent.begin() + static_cast<std::ptrdiff_t>(std::min(room, sent.size())));
        if (!outbound.empty()) {
            const ssize_t written = write(master_, outbound.data(), outbound.size());
            if (written > 0) {
                outbound.erase(outbound.begin(), outbound.begin() + written);
            }
        }
    }
}

}  // namespace sim
