// Who owns a POSIX object name on the host, and the mode new objects get.
//
// A platform name belongs to a living process only. The creator of an object holds an exclusive
// flock on a companion shared memory object, "<object name>.owner", for as long as the object is
// its own. The kernel drops that lock when the process dies, however it dies (SIGKILL included),
// so a lock that can be taken means the previous creator is gone and its leftovers may be
// reclaimed, and a lock that cannot be taken means a living process owns the name. An orderly end
// (the handle closed, ExitProcess, an ending signal, a normal exit) unlinks the object's name and
// then the companion while still holding the lock, so the name is never seen free while taken.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace host {

struct NameClaim;

// Takes the name for this process: the companion lock is held and whatever a dead creator left
// under the name is unlinked. Null when a living process holds the name (or the lock object cannot
// be made); errno then tells why.
NameClaim* ClaimName(const std::string& objectName);
// Gives the name up: unlinks the object and its companion and drops the lock. Harmless when the
// process end already did so.
void ReleaseName(NameClaim* claim);

// The companion lock object's POSIX name.
std::string OwnerLockName(const std::string& objectName);
// A private name under which a shared memory object is made before it is linked into place; a
// claim removes the drafts that a dead creator left.
std::string DraftName(const std::string& objectName);

// The file under which the C library keeps a shared memory object, for links.
std::string SharedMemoryPath(const std::string& objectName);

// 0600, widened by RTSS_OBJECT_MODE (octal, for example 0660 for a group of client users).
mode_t ObjectMode();
// Why RTSS_OBJECT_MODE cannot be used (not octal, or bits beyond 0666), or empty.
std::string ObjectModeProblem();

}  // namespace host
