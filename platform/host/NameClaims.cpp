#include "platform/host/NameClaims.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/host/HostPlatform.h"

namespace host {

struct NameClaim {
    std::string objectName;
    int ownerFd = -1;  // holds the flock that marks the name as taken
    pid_t owner = 0;   // a forked child inherits the table but owns none of its names
    bool removed = false;
};

namespace {

constexpr mode_t DefaultObjectMode = 0600;
constexpr mode_t WidestObjectMode = 0666;
constexpr int ClaimAttempts = 8;  // a name that is being given up and taken again meanwhile

// Never destroyed: service threads and atexit work may still reach it while the process ends.
struct ClaimTable {
    std::mutex lock;
    std::vector<NameClaim*> claims;
};

ClaimTable& Claims() {
    static ClaimTable* table = new ClaimTable;
    return *table;
}

std::string DraftPrefix(const std::string& objectName) { return objectName + ".draft."; }

// Drafts of a creator killed between making an object and linking it into place.
void UnlinkDrafts(const std::string& objectName) {
    const std::string prefix = DraftPrefix(objectName).substr(1);
    DIR* directory = opendir("/dev/shm");
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(directory)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            shm_unlink(("/" + std::string(entry->d_name)).c_str());
        }
    }
    closedir(directory);
}

// Names first, lock last: while the lock is held nobody can take the name, so by the time it is
// dropped nothing of ours is left under it.
void RemoveClaimedNames(NameClaim& claim) {
    shm_unlink(claim.objectName.c_str());
    shm_unlink(OwnerLockName(claim.objectName).c_str());
    close(claim.ownerFd);
    claim.ownerFd = -1;
    claim.removed = true;
}

void RemoveAllAtProcessEnd() {
    ClaimTable& table = Claims();
    const std::lock_guard guard(table.lock);
    for (NameClaim* claim : table.claims) {
        if (!claim->removed && claim->owner == getpid()) {
            RemoveClaimedNames(*claim);
        }
    }
}

// The orderly end of every process that creates objects removes them: ExitProcess and the signal
// watcher run the process-end work, and so does a plain exit (tests, tools).
void ArrangeRemovalAtProcessEnd() {
    static std::once_flag once;
    std::call_once(once, [] {
        AtProcessEnd(RemoveAllAtProcessEnd);
        std::atexit([] { RunProcessEndWork(); });
    });
}

bool SameFile(int fd, const std::string& lockName) {
    const int current = shm_open(lockName.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (current < 0) {
        return false;
    }
    struct stat held {};
    struct stat named {};
    const bool same = fstat(fd, &held) == 0 && fstat(current, &named) == 0 &&
                      held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    close(current);
    return same;
}

// The lock on the object now under the name, or -1 (errno EEXIST when a living process holds it).
int TakeOwnerLock(const std::string& lockName) {
    for (int attempt = 0; attempt < ClaimAttempts; ++attempt) {
        const int fd = shm_open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, ObjectMode());
        if (fd < 0) {
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int reason = errno;
            close(fd);
            errno = reason == EWOULDBLOCK ? EEXIST : reason;
            return -1;
        }
        // The lock may belong to a companion that its owner unlinked just before letting go; a
        // newcomer may already hold the one now under the name.
        if (SameFile(fd, lockName)) {
            (void)fchmod(fd, ObjectMode());
            return fd;
        }
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string OwnerLockName(const std::string& objectName) { return objectName + ".owner"; }

std::string DraftName(const std::string& objectName) {
    static std::atomic<std::uint32_t> serial{0};
    return DraftPrefix(objectName) + std::to_string(getpid()) + "." +
           std::to_string(serial.fetch_add(1));
}

// glibc keeps POSIX shared memory objects as files in /dev/shm.
std::string SharedMemoryPath(const std::string& objectName) { return "/dev/shm" + objectName; }

// RTSS_OBJECT_MODE as octal permission bits, or an empty reason when it is unset. The objects
// hold requests and replies, never programs: only read and write bits (at most 0666) make sense.
std::string ParseObjectMode(mode_t* widened) {
    *widened = 0;
    const char* text = std::getenv("RTSS_OBJECT_MODE");
    if (text == nullptr || *text == '\0') {
        return {};
    }
    constexpr unsigned long Saturated = 010000;  // any more digits only make it wider
    unsigned long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '7') {
            return "RTSS_OBJECT_MODE: not an octal mode such as 0660";
        }
        value = std::min(value * 8 + static_cast<unsigned long>(*p - '0'), Saturated);
    }
    if ((value & ~static_cast<unsigned long>(WidestObjectMode)) != 0) {
        return "RTSS_OBJECT_MODE: only read and write bits (at most 0666) may be given";
    }
    *widened = static_cast<mode_t>(value);
    return {};
}

std::string ObjectModeProblem() {
    mode_t widened = 0;
    return ParseObjectMode(&widened);
}

mode_t ObjectMode() {
    mode_t widened = 0;
    // A mode that cannot be used widens nothing; a driver refuses it at its start.
    return ParseObjectMode(&widened).empty() ? DefaultObjectMode | widened : DefaultObjectMode;
}

NameClaim* ClaimName(const std::string& objectName) {
    ArrangeRemovalAtProcessEnd();
    const int fd = TakeOwnerLock(OwnerLockName(objectName));
    if (fd < 0) {
        return nullptr;
    }
    // The lock was free: whoever made what stands under the name has died.
    shm_unlink(objectName.c_str());
    UnlinkDrafts(objectName);
    auto* claim = new NameClaim{objectName, fd, getpid(), false};
    ClaimTable& table = Claims();
    const std::lock_guard guard(table.lock);
    table.claims.push_back(claim);
    return claim;
}

void ReleaseName(NameClaim* claim) {
    if (claim == nullptr) {
        return;
    }
    ClaimTable& table = Claims();
    const std::lock_guard guard(table.lock);
    if (!claim->removed) {
        if (claim->owner == getpid()) {
            RemoveClaimedNames(*claim);
        } else {
            close(claim->ownerFd);  // the parent's copy keeps its lock
        }
    }
    table.claims.erase(std::find(table.claims.begin(), table.claims.end(), claim));
    delete claim;
}

}  // namespace host
