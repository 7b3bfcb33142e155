#include "tools/pty/PtyLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tool {
namespace {

constexpr mode_t PrivateDirectoryMode = 0700;
constexpr mode_t OthersBits = 0077;  // group and other may do nothing in a private directory

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// A symbolic link that this user made, as lstat shows it (never what it points to).
bool OwnLink(const std::string& path) {
    struct stat found {};
    return lstat(path.c_str(), &found) == 0 && S_ISLNK(found.st_mode) && found.st_uid == geteuid();
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

std::string PtyLink::DefaultPath(const std::string& device) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string directory = runtime != nullptr && runtime[0] == '/'
                                      ? std::string(runtime) + "/quelta"
                                      : "/tmp/quelta-" + std::to_string(geteuid());
    if (mkdir(directory.c_str(), PrivateDirectoryMode) != 0 && errno != EEXIST) {
        throw std::runtime_error(Reason("cannot make " + directory));
    }
    // Whoever made it, it must now be this user's own directory, closed to everyone else: a link
    // or someone else's directory planted at the name is never used.
    struct stat found {};
    if (lstat(directory.c_str(), &found) != 0 || !S_ISDIR(found.st_mode) ||
        found.st_uid != geteuid() || (found.st_mode & OthersBits) != 0) {
        throw std::runtime_error(directory +
                                 " is not a directory that only this user may use; name the "
                                 "link's PATH, or remove what is there");
    }
    return directory + "/" + device;
}

PtyLink::PtyLink(std::string path, std::string target)
    : path_(std::move(path)), target_(std::move(target)) {
    struct stat found {};
    if (lstat(path_.c_str(), &found) == 0) {
        if (!OwnLink(path_)) {
            throw std::runtime_error(path_ + " exists and is not a symbolic link of this user's");
        }
        unlink(path_.c_str());
    }
    if (symlink(target_.c_str(), path_.c_str()) != 0) {  // never follows, never replaces
        throw std::runtime_error(Reason("cannot link " + path_));
    }
}

PtyLink::~PtyLink() {
    if (OwnLink(path_) && LinkTarget(path_) == target_) unlink(path_.c_str());
}

}  // namespace tool
