// On the host the claim is a lock on a file beside the device's objects in /dev/shm, taken with
// flock so that it belongs to the open file and ends with the process. The holder writes its
// process ID into the file for the message a second taker shows.
#include "client/ExclusiveClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "client/DeviceName.h"
#include "client/Error.h"
#include "client/posix/ObjectNames.h"

namespace quelta {
namespace {

constexpr char ClaimSuffix[] = ".lock";

std::string HolderOf(int descriptor) {
    char text[16] = {};
    const ssize_t count = pread(descriptor, text, sizeof text - 1, 0);
    int pid = 0;
    if (count > 0 && std::sscanf(text, "%d", &pid) == 1 && pid > 0) {
        return "PID " + std::to_string(pid);
    }
    return "another process";  // it has the lock but has not written its ID yet
}

}  // namespace

ExclusiveClaim::ExclusiveClaim(const std::string& fullName) {
    const std::string path = "/dev/shm" + PosixObjectName(fullName + ClaimSuffix);
    descriptor_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor_ < 0) {
        ThrowSystemError("cannot open " + path, errno);
    }
    (void)fchmod(descriptor_, 0666);  // whatever the umask: every user may claim the devices
    if (flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const std::string holder = error == EWOULDBLOCK ? HolderOf(descriptor_) : "";
        Release();
        if (error != EWOULDBLOCK) ThrowSystemError("cannot lock " + path, error);
        throw Error(ErrorCode::DeviceBusy, ShortDeviceName(fullName) + ": busy: held by " + holder);
    }
    // Without the ID the claim still holds; only a second taker's message is poorer.
    const std::string pid = std::to_string(getpid()) + "\n";
    (void)(ftruncate(descriptor_, 0) == 0 && pwrite(descriptor_, pid.data(), pid.size(), 0) > 0);
}

ExclusiveClaim::ExclusiveClaim(ExclusiveClaim&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

ExclusiveClaim& ExclusiveClaim::operator=(ExclusiveClaim&& other) noexcept {
    if (this != &other) {
        Release();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

ExclusiveClaim::~ExclusiveClaim() { Release(); }

void ExclusiveClaim::Release() {
    if (descriptor_ >= 0) {
        close(descriptor_);  // ends the lock
        descriptor_ = -1;
    }
}

}  // namespace quelta
