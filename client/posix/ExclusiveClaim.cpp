// On the host the claim is a lock on a file beside the device's objects in /dev/shm, taken with
// flock so that it belongs to the open file and ends with the process. The holder writes its
// process ID into the file for the message a second taker shows. The file gets the mode of the
// device's objects, so that exactly the users who may use the device may claim it, and is never
// opened through a link: /dev/shm is open to every user.
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
#include "wire/RequestBlock.h"

namespace quelta {
namespace {

constexpr char ClaimSuffix[] = ".lock";

// The mode the driver gave the device's objects (0600, or wider by its RTSS_OBJECT_MODE).
mode_t ObjectsMode(const std::string& fullName) {
    struct stat block {};
    const std::string path = "/dev/shm" + PosixObjectName(fullName + SharedMemorySuffix);
    return stat(path.c_str(), &block) == 0 ? block.st_mode & 0666 : 0600;
}

// The claim file, made if it is missing, or -1 with errno set.
int OpenClaimFile(const std::string& path, mode_t mode) {
    const int made = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (made >= 0) {
        (void)fchmod(made, mode);  // the creation mode passed through the umask
        return made;
    }
    return errno == EEXIST ? open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC) : -1;
}

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
    descriptor_ = OpenClaimFile(path, ObjectsMode(fullName));
    if (descriptor_ < 0) {
        ThrowSystemError("cannot open " + path, errno);
    }
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
