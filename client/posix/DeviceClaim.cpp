// On the host a claim is a flock on the device's mutex object: the shared memory object with the
// bare device name, which the driver made complete under its own user with the objects' mode
// (RTSS_OBJECT_MODE) and which every client opens anyway. The claim makes no file of its own, so
// it creates, writes, truncates and widens nothing, and only a user who may open the device for
// reading and writing can take it. The lock belongs to the claim's own open file, so it ends with
// the descriptor, however the process ends. The driver never locks this object itself: what
// marks its names as taken are flocks on companion ".owner" objects.
#include "client/DeviceClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "client/DeviceName.h"
#include "client/Error.h"
#include "client/posix/ObjectNames.h"
#include "wire/RequestBlock.h"

namespace quelta {
namespace {

// glibc keeps POSIX shared memory objects as files in /dev/shm.
std::string ObjectPath(const std::string& platformName) {
    return "/dev/shm" + PosixObjectName(platformName);
}

// The mutex object, opened for the claim. Never through a link, and only when it is a regular
// file of the user who owns the device's request block, that is, what the driver made: a file
// another user planted under the name is left alone.
int OpenClaimedObject(const std::string& fullName) {
    const std::string path = ObjectPath(fullName);
    const int descriptor =
        open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        ThrowSystemError("cannot open " + path, errno);
    }
    struct stat object {};
    struct stat block {};
    const std::string blockPath = ObjectPath(fullName + SharedMemorySuffix);
    if (fstat(descriptor, &object) != 0 || lstat(blockPath.c_str(), &block) != 0) {
        const int error = errno;
        close(descriptor);
        ThrowSystemError("cannot examine " + path, error);
    }
    if (!S_ISREG(object.st_mode) || !S_ISREG(block.st_mode) || object.st_uid != block.st_uid) {
        close(descriptor);
        throw Error(ErrorCode::ProtocolError,
                    path + " is not the device's own object (a regular file of its driver's user)");
    }
    return descriptor;
}

// The processes holding flocks on the open file, from /proc/locks, whose lines read
// "1: FLOCK  ADVISORY  WRITE 4242 00:1b:25124 0 EOF" (pid, then device and inode of the file).
std::string Holders(int descriptor) {
    struct stat info {};
    std::vector<std::string> pids;
    if (fstat(descriptor, &info) == 0) {
        char file[64];
        std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                      static_cast<unsigned long long>(info.st_ino));
        std::ifstream locks("/proc/locks");
        std::string line;
        while (std::getline(locks, line)) {
            std::istringstream fields(line);
            std::string number, kind, advisory, access, pid, where;
            // A process waiting for a lock shows as "N: -> FLOCK ...": it holds nothing.
            if (fields >> number >> kind >> advisory >> access >> pid >> where && kind == "FLOCK" &&
                where == file && std::find(pids.begin(), pids.end(), pid) == pids.end()) {
                pids.push_back(pid);
            }
        }
    }
    if (pids.empty()) {
        return "another process";  // it let go between the refusal and the look
    }
    std::string text = pids.size() == 1 ? "PID " : "PIDs ";
    for (std::size_t i = 0; i < pids.size(); ++i) {
        text += (i == 0 ? "" : ", ") + pids[i];
    }
    return text;
}

}  // namespace

DeviceClaim::DeviceClaim(const std::string& fullName, ClaimKind kind) {
    descriptor_ = OpenClaimedObject(fullName);
    const int operation = (kind == ClaimKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int result = 0;
    while ((result = flock(descriptor_, operation)) != 0 && errno == EINTR) {}
    if (result != 0) {
        const int error = errno;
        const std::string holders = error == EWOULDBLOCK ? Holders(descriptor_) : "";
        Release();
        if (error != EWOULDBLOCK) ThrowSystemError("cannot claim " + fullName, error);
        throw Error(ErrorCode::DeviceBusy,
                    ShortDeviceName(fullName) + ": busy: held by " + holders);
    }
}

DeviceClaim::DeviceClaim(DeviceClaim&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

DeviceClaim& DeviceClaim::operator=(DeviceClaim&& other) noexcept {
    if (this != &other) {
        Release();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

DeviceClaim::~DeviceClaim() { Release(); }

void DeviceClaim::Release() {
    if (descriptor_ >= 0) {
        close(descriptor_);  // ends the lock
        descriptor_ = -1;
    }
}

}  // namespace quelta
