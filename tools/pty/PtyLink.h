// The path at which programs find a bridge's pseudo-terminal: a symbolic link to its slave. The
// number of a pty that has gone is soon another one's, perhaps a stranger's terminal, so a link
// must never become a trap: the default one lives in a directory private to the user who runs the
// bridge, and a bridge never follows, replaces or removes a link or file that it does not own.
#pragma once

#include <string>

namespace tool {

class PtyLink {
public:
    // DIR/DEVICE, where DIR is $XDG_RUNTIME_DIR/quelta, or /tmp/quelta-UID without that variable,
    // made with mode 0700 when missing. Throws std::runtime_error when DIR is anything other than
    // a directory of this user that only this user may enter (never following a link there).
    static std::string DefaultPath(const std::string& device);

    // Links path to target. A symbolic link of this user's already there (left by a bridge that
    // was killed) is replaced; anything else there is an error (std::runtime_error).
    PtyLink(std::string path, std::string target);
    ~PtyLink();  // removes the link while it is still this user's link to target
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string target_;
};

}  // namespace tool
