// The platform's semaphores and mutexes as the host keeps them, shared by the host backend, which
// creates them, and the client library, which opens them. Each is a POSIX shared memory object
// under the name platform/host/PosixNames.h gives it, holding one of the records below.
//
// The records have fixed-width fields only, so that a 32-bit and a 64-bit process read the same
// bytes (glibc's sem_t and pthread_mutex_t differ between the two). A process waits on a record's
// 32-bit word with a futex that is not private to it; a release or an unlock makes the system
// call that wakes sleepers only when a sleeper said so in the word itself, so that the check and
// the sleep cannot miss each other.
//
// A mutex records its owner: thread ID, process ID and the thread's start time. When the owner
// dies holding it, the next taker finds that out (the start time tells a thread ID that was used
// again) and takes the mutex with OwnerDied instead of waiting for ever.
#pragma once

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

namespace shared_sync {

// The futex's own clock, CLOCK_MONOTONIC, so that a deadline converts without a second reading.
using Clock = std::chrono::steady_clock;

// The first word of each record: its kind and the version of its layout. A client that opens an
// object of another kind or layout refuses it instead of misreading it.
constexpr std::uint32_t SemaphoreLayout = 0x51530001;  // "QS", layout 1
constexpr std::uint32_t MutexLayout = 0x514D0001;      // "QM", layout 1

// In the futex word of either kind: a taker may be asleep on the word, so the next release or
// unlock must wake. Counts stay below it (at most 0x7FFFFFFF) and so do thread IDs (below 2^22).
constexpr std::uint32_t Sleepers = 0x80000000;
constexpr std::uint32_t ValueMask = ~Sleepers;

struct SemaphoreRecord {
    std::uint32_t layout;   // SemaphoreLayout, written before the object gets its name
    std::uint32_t state;    // futex word: the count of releases not yet taken, and Sleepers
    std::uint32_t maximum;  // fixed at creation; a release beyond it is refused
};
static_assert(sizeof(SemaphoreRecord) == 12);
static_assert(offsetof(SemaphoreRecord, state) == 4 && offsetof(SemaphoreRecord, maximum) == 8);

struct MutexRecord {
    std::uint32_t layout;          // MutexLayout, written before the object gets its name
    std::uint32_t owner;           // futex word: the owning thread's ID (0: free), and Sleepers
    std::uint32_t recursion;       // the owner's takes not yet released; the owner's alone
    std::uint32_t ownerThread;     // = the owner's ID once the fields below are its own
    std::uint32_t ownerProcess;    // the owner's process ID
    std::uint32_t ownerStartLow;   // the owning thread's start in clock ticks after boot (0:
    std::uint32_t ownerStartHigh;  //   unknown); a thread ID used again starts later
};
static_assert(sizeof(MutexRecord) == 28);
static_assert(offsetof(MutexRecord, owner) == 4 && offsetof(MutexRecord, ownerThread) == 12 &&
              offsetof(MutexRecord, ownerStartHigh) == 24);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

inline std::atomic_ref<std::uint32_t> Word(std::uint32_t& word) {
    return std::atomic_ref<std::uint32_t>(word);
}

// ---- Mappings --------------------------------------------------------------------------------

// A process maps each object once, however often it opens it, as glibc does with its named
// semaphores: ThreadSanitizer follows a release to its take by the address of the word, so a
// driver and its clients in one process (as in the tests) must meet at one address.
struct Mapping {
    dev_t device;
    ino_t inode;
    std::size_t size;
    void* address;
    std::uint32_t users;
};

struct MappingTable {
    std::mutex lock;
    std::vector<Mapping> mappings;
};

inline MappingTable& Mappings() {
    static MappingTable* table = new MappingTable;  // never destroyed: used until the very end
    return *table;
}

// The object open as fd, size bytes of it read-write, or MAP_FAILED with errno set.
inline void* MapObject(int fd, std::size_t size) {
    struct stat file {};
    if (fstat(fd, &file) != 0) {
        return MAP_FAILED;
    }
    MappingTable& table = Mappings();
    const std::lock_guard guard(table.lock);
    for (Mapping& mapping : table.mappings) {
        if (mapping.device == file.st_dev && mapping.inode == file.st_ino && mapping.size == size) {
            ++mapping.users;
            return mapping.address;
        }
    }
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address != MAP_FAILED) {
        table.mappings.push_back({file.st_dev, file.st_ino, size, address, 1});
    }
    return address;
}

inline void UnmapObject(void* address) {
    MappingTable& table = Mappings();
    const std::lock_guard guard(table.lock);
    const auto found =
        std::find_if(table.mappings.begin(), table.mappings.end(),
                     [&](const Mapping& mapping) { return mapping.address == address; });
    if (found != table.mappings.end() && --found->users == 0) {
        munmap(found->address, found->size);
        table.mappings.erase(found);
    }
}

// ---- Futex -----------------------------------------------------------------------------------

// Sleeps while word holds expected, until a wake or the deadline (none: no limit). False for a
// failure other than a wake, a changed word, a signal or the deadline.
inline bool FutexWait(std::uint32_t& word, std::uint32_t expected,
                      std::optional<Clock::time_point> deadline) {
    timespec until{};
    if (deadline) {
        const auto since = deadline->time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        if (seconds.count() > std::numeric_limits<decltype(until.tv_sec)>::max() / 2) {
            deadline.reset();  // decades away, beyond what a 32-bit time holds: no limit
        } else {
            until.tv_sec = static_cast<time_t>(seconds.count());
            until.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        }
    }
    // FUTEX_WAIT_BITSET takes an absolute time on CLOCK_MONOTONIC. A 32-bit program built with a
    // 64-bit time_t needs the system call that takes one.
    long failed = 0;
#if defined(SYS_futex_time64)
    if constexpr (sizeof(until.tv_sec) > sizeof(long)) {
        failed = syscall(SYS_futex_time64, &word, FUTEX_WAIT_BITSET, expected,
                         deadline ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    } else
#endif
    {
        failed = syscall(SYS_futex, &word, FUTEX_WAIT_BITSET, expected, deadline ? &until : nullptr,
                         nullptr, FUTEX_BITSET_MATCH_ANY);
    }
    return failed == 0 || errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT;
}

inline void FutexWakeAll(std::uint32_t& word) {
    syscall(SYS_futex, &word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// ---- Semaphores ------------------------------------------------------------------------------

// Fills a record that nobody else sees yet.
inline void InitSemaphore(SemaphoreRecord& semaphore, std::uint32_t initial,
                          std::uint32_t maximum) {
    semaphore.layout = SemaphoreLayout;
    semaphore.state = initial;
    semaphore.maximum = maximum;
}

inline bool TryTake(SemaphoreRecord& semaphore) {
    auto state = Word(semaphore.state);
    std::uint32_t seen = state.load();
    while ((seen & ValueMask) != 0) {
        if (state.compare_exchange_weak(seen, seen - 1)) {
            return true;
        }
    }
    return false;
}

// Adds count unless that passes the maximum (false), in one step for every process. The new word
// has no Sleepers: whoever still sleeps after the wake says so again.
inline bool Release(SemaphoreRecord& semaphore, std::uint32_t count, std::uint32_t* previous) {
    auto state = Word(semaphore.state);
    const std::uint32_t maximum = Word(semaphore.maximum).load(std::memory_order_relaxed);
    std::uint32_t seen = state.load();
    do {
        if (count > maximum || (seen & ValueMask) > maximum - count) {
            return false;
        }
    } while (!state.compare_exchange_weak(seen, (seen & ValueMask) + count));
    if (previous != nullptr) {
        *previous = seen & ValueMask;
    }
    if ((seen & Sleepers) != 0) {
        FutexWakeAll(semaphore.state);
    }
    return true;
}

enum class TakeResult { WhilePolling, AfterSleeping, TimedOut, Failed };

// Polls for up to pollFor first: a peer on the other core that answers within that window is
// caught without a wake-up, which costs far more than the exchange. Then sleeps until the deadline
// (none: no limit), so that an idle taker burns nothing.
inline TakeResult Take(SemaphoreRecord& semaphore, Clock::duration pollFor,
                       std::optional<Clock::time_point> deadline) {
    const Clock::time_point pollEnd =
        deadline ? std::min(Clock::now() + pollFor, *deadline) : Clock::now() + pollFor;
    do {
        if (TryTake(semaphore)) {
            return TakeResult::WhilePolling;
        }
        for (int i = 0; i < 16; ++i) {
            CpuRelax();
        }
    } while (Clock::now() < pollEnd);
    auto state = Word(semaphore.state);
    for (;;) {
        std::uint32_t seen = state.load();
        if ((seen & ValueMask) != 0) {
            if (state.compare_exchange_weak(seen, seen - 1)) {
                return TakeResult::AfterSleeping;
            }
            continue;
        }
        if (deadline && Clock::now() >= *deadline) {
            return TakeResult::TimedOut;
        }
        if (seen != Sleepers && !state.compare_exchange_weak(seen, Sleepers)) {
            continue;
        }
        if (!FutexWait(semaphore.state, Sleepers, deadline)) {
            return TakeResult::Failed;
        }
    }
}

// How long a waiter polls before it sleeps, learnt from its own last waits. Polling pays where
// the peer answers within microseconds (a request right behind the last reply, a reply from a
// thread that is awake) and only burns the core where the wait is long: the window doubles, up to
// `longest`, after a wait that a longer poll would have caught, and halves after each wait that
// outlasted the longest poll. A wait caught while polling leaves it at least twice what it
// needed.
class PollWindow {
public:
    explicit PollWindow(Clock::duration longest) : longest_(longest), window_(longest.count()) {}

    Clock::duration Next() const {
        return Clock::duration(window_.load(std::memory_order_relaxed));
    }

    void Learn(TakeResult result, Clock::duration waited) {
        const Clock::rep window = window_.load(std::memory_order_relaxed);
        Clock::rep next = window;
        if (result == TakeResult::WhilePolling) {
            next = std::max(window, std::min(longest_.count(), 2 * waited.count()));
        } else if (result == TakeResult::AfterSleeping) {
            next = waited < longest_ ? std::min(longest_.count(), std::max(2 * window, Floor()))
                                     : window / 2;
        }
        window_.store(next, std::memory_order_relaxed);
    }

private:
    static constexpr Clock::rep Floor() {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(1)).count();
    }

    Clock::duration longest_;
    std::atomic<Clock::rep> window_;
};

// ---- Mutexes ---------------------------------------------------------------------------------

struct ThreadIdentity {
    std::uint32_t thread = 0;
    std::uint32_t process = 0;
    std::uint64_t start = 0;  // 0 when /proc cannot tell it
    std::uint32_t forkGeneration = 0;
};

// The state letter and start time (field 22) of a thread's /proc stat file.
inline bool ReadThreadStat(const char* path, char* state, std::uint64_t* start) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[1024];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) {
        return false;
    }
    text[length] = '\0';
    // The command name in field 2 may hold anything, spaces and parentheses too: the fields
    // after it start behind its last ')'.
    const char* field = std::strrchr(text, ')');
    if (field == nullptr || field[1] != ' ') {
        return false;
    }
    field += 2;
    *state = *field;
    for (int number = 3; number < 22; ++number) {
        field = std::strchr(field, ' ');
        if (field == nullptr) {
            return false;
        }
        ++field;
    }
    unsigned long long ticks = 0;
    if (std::sscanf(field, "%llu", &ticks) != 1) {
        return false;
    }
    *start = ticks;
    return true;
}

// Counts the forks of this process's history: a child keeps its parent's thread-local identity
// and must not take it for its own.
inline std::atomic<std::uint32_t>& ForkGeneration() {
    static std::atomic<std::uint32_t> generation{1};
    return generation;
}

inline const ThreadIdentity& Me() {
    static const bool watching = [] {
        pthread_atfork(nullptr, nullptr, [] { ForkGeneration().fetch_add(1); });
        return true;
    }();
    (void)watching;
    thread_local ThreadIdentity me;
    const std::uint32_t generation = ForkGeneration().load(std::memory_order_relaxed);
    if (me.forkGeneration != generation) {
        me.thread = static_cast<std::uint32_t>(gettid());
        me.process = static_cast<std::uint32_t>(getpid());
        char state = 0;
        if (!ReadThreadStat("/proc/thread-self/stat", &state, &me.start)) {
            me.start = 0;
        }
        me.forkGeneration = generation;
    }
    return me;
}

inline void InitMutex(MutexRecord& mutex) {
    std::memset(&mutex, 0, sizeof mutex);
    mutex.layout = MutexLayout;
}

inline std::uint64_t RecordedStart(MutexRecord& mutex,
                                   std::memory_order order = std::memory_order_relaxed) {
    return Word(mutex.ownerStartLow).load(order) |
           std::uint64_t{Word(mutex.ownerStartHigh).load(order)} << 32;
}

// Makes a mutex just taken this thread's: the identity fields first, then ownerThread, which
// tells a reader that they are complete. Release stores, so that a reader that sees any of them
// also sees that the previous owner's ownerThread is gone (see OwnerDied).
inline void Own(MutexRecord& mutex, const ThreadIdentity& me) {
    Word(mutex.recursion).store(1, std::memory_order_relaxed);
    Word(mutex.ownerProcess).store(me.process, std::memory_order_release);
    Word(mutex.ownerStartLow)
        .store(static_cast<std::uint32_t>(me.start), std::memory_order_release);
    Word(mutex.ownerStartHigh)
        .store(static_cast<std::uint32_t>(me.start >> 32), std::memory_order_release);
    Word(mutex.ownerThread).store(me.thread, std::memory_order_release);
}

// Whether the thread that holds the mutex, seen as word, has died. Read as a sequence lock: the
// identity counts only when ownerThread names the owner before and after it is read.
inline bool OwnerDied(MutexRecord& mutex, std::uint32_t word) {
    const std::uint32_t thread = word & ValueMask;
    if (Word(mutex.ownerThread).load(std::memory_order_acquire) != thread) {
        // The owner is between taking the word and writing its identity, or died there: only
        // whether a thread of that ID still exists can be told.
        return syscall(SYS_tkill, thread, 0) != 0 && errno == ESRCH;
    }
    // Acquire loads: one that reads a newer owner's store makes the check below see that the
    // owner changed.
    const std::uint32_t process = Word(mutex.ownerProcess).load(std::memory_order_acquire);
    const std::uint64_t start = RecordedStart(mutex, std::memory_order_acquire);
    if (Word(mutex.ownerThread).load(std::memory_order_relaxed) != thread ||
        Word(mutex.owner).load() != word) {
        return false;  // the owner changed meanwhile: the caller looks again
    }
    // The signal 0 reaches nobody; ESRCH says that no such thread lives in that process. A process
    // of another user gives EPERM, and its /proc entry may be hidden: alive.
    if (syscall(SYS_tgkill, process, thread, 0) != 0 && errno == ESRCH) {
        return true;
    }
    // A killed process stays a zombie until its parent collects it; its thread ID, or its process
    // ID for another process, may since have gone to a newer thread.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/task/%u/stat", process, thread);
    char state = 0;
    std::uint64_t started = 0;
    if (!ReadThreadStat(path, &state, &started)) {
        return false;
    }
    return state == 'Z' || state == 'X' || (start != 0 && started != start);
}

enum class LockResult { Locked, OwnerDied, TimedOut, Failed };

// How long a taker sleeps on a held mutex before it asks again whether the owner lives: a dead
// owner wakes nobody.
constexpr auto OwnerCheckInterval = std::chrono::milliseconds(10);

// Recursive: the owner takes it again at once. Waits until the deadline (none: no limit).
inline LockResult Lock(MutexRecord& mutex, std::optional<Clock::time_point> deadline) {
    const ThreadIdentity& me = Me();
    auto owner = Word(mutex.owner);
    std::uint32_t seen = owner.load();
    if ((seen & ValueMask) == me.thread && RecordedStart(mutex) == me.start) {
        Word(mutex.recursion).fetch_add(1, std::memory_order_relaxed);
        return LockResult::Locked;
    }
    Clock::time_point nextCheck = Clock::now();
    for (;;) {
        if ((seen & ValueMask) == 0) {
            if (owner.compare_exchange_weak(seen, me.thread | (seen & Sleepers))) {
                Own(mutex, me);
                return LockResult::Locked;
            }
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextCheck) {
            if (OwnerDied(mutex, seen)) {
                // Sleepers stays: they still sleep, and this thread's unlock wakes them.
                if (owner.compare_exchange_strong(seen, me.thread | (seen & Sleepers))) {
                    Own(mutex, me);
                    return LockResult::OwnerDied;
                }
                continue;
            }
            nextCheck = now + OwnerCheckInterval;
        }
        if (deadline && now >= *deadline) {
            return LockResult::TimedOut;
        }
        if ((seen & Sleepers) == 0 && !owner.compare_exchange_weak(seen, seen | Sleepers)) {
            continue;
        }
        const Clock::time_point wake = deadline ? std::min(*deadline, nextCheck) : nextCheck;
        if (!FutexWait(mutex.owner, seen | Sleepers, wake)) {
            return LockResult::Failed;
        }
        seen = owner.load();
    }
}

// False when this thread does not hold the mutex.
inline bool Unlock(MutexRecord& mutex) {
    const ThreadIdentity& me = Me();
    auto owner = Word(mutex.owner);
    if ((owner.load() & ValueMask) != me.thread || RecordedStart(mutex) != me.start) {
        return false;
    }
    if (Word(mutex.recursion).fetch_sub(1, std::memory_order_relaxed) != 1) {
        return true;
    }
    Word(mutex.ownerThread).store(0, std::memory_order_relaxed);
    if ((owner.exchange(0) & Sleepers) != 0) {
        FutexWakeAll(mutex.owner);
    }
    return true;
}

}  // namespace shared_sync
