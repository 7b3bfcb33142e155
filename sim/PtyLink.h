// A channel whose far end is a pseudo-terminal: whatever program opens the slave (picocom,
// pyserial, a test) talks to the channel. Bytes it writes enter the channel at the channel's
// own format and pace; bytes the channel sends come out of the slave. The pty carries no modem
// lines: the far end shows CTS, DSR and DCD asserted.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace sim {

class Board;

class PtyLink {
public:
    // Opens the pty. A linkPath is checked here (an existing symbolic link there will be
    // replaced; anything else there is an error) but linked only by Link, once the driver holds
    // its devices: a driver that loses the names to another must not take that one's link.
    // Throws std::runtime_error with a one-line reason.
    PtyLink(Board& board, std::uint32_t channel, std::string linkPath);
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }
    // Makes linkPath a symbolic link to the slave; false (errno set) when that fails.
    bool Link();
    // Removes the link if it is still this pty's: a later driver may have linked the path since.
    void RemoveLink();

private:
    void Run();

    Board& board_;
    std::uint32_t channel_;
    int master_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace sim
