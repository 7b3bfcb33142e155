// A 32-bit process for the tests of the objects that 32-bit and 64-bit processes share. It opens a
// semaphore or mutex by its platform name, as a 32-bit client or driver does, in the namespace the
// test gives it (RTSS_NAMESPACE is inherited), and says on standard output what it got.
//
//   bits                 the width of its addresses: "32"
//   release NAME         "released", or "refused" past the maximum
//   take NAME MS         "taken" or "timed-out"
//   lock NAME MS         "locked", "abandoned" or "timed-out", then ends holding it
//   hold NAME            takes the mutex, says "holding" and parks until killed
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/host/PosixNames.h"
#include "platform/host/SharedSync.h"

namespace {

template <typename Record>
Record& Open(const char* name, std::uint32_t layout) {
    const int fd = shm_open(posix_names::ObjectName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
    void* address = fd < 0 ? MAP_FAILED : shared_sync::MapObject(fd, sizeof(Record));
    if (address == MAP_FAILED || static_cast<Record*>(address)->layout != layout) {
        std::puts("cannot open");
        std::exit(1);
    }
    close(fd);
    return *static_cast<Record*>(address);
}

shared_sync::Clock::time_point In(const char* milliseconds) {
    return shared_sync::Clock::now() + std::chrono::milliseconds(std::atoi(milliseconds));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    const char* name = argc > 2 ? argv[2] : "";
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (command == "bits") {
        std::printf("%zu\n", sizeof(void*) * 8);
    } else if (command == "release" && argc == 3) {
        auto& semaphore = Open<shared_sync::SemaphoreRecord>(name, shared_sync::SemaphoreLayout);
        std::puts(shared_sync::Release(semaphore, 1, nullptr) ? "released" : "refused");
    } else if (command == "take" && argc == 4) {
        auto& semaphore = Open<shared_sync::SemaphoreRecord>(name, shared_sync::SemaphoreLayout);
        const auto result = shared_sync::Take(semaphore, {}, In(argv[3]));
        std::puts(result == shared_sync::TakeResult::TimedOut ? "timed-out" : "taken");
    } else if ((command == "lock" && argc == 4) || (command == "hold" && argc == 3)) {
        auto& mutex = Open<shared_sync::MutexRecord>(name, shared_sync::MutexLayout);
        std::optional<shared_sync::Clock::time_point> deadline;
        if (command == "lock") deadline = In(argv[3]);
        switch (shared_sync::Lock(mutex, deadline)) {
        case shared_sync::LockResult::Locked:
            std::puts(command == "lock" ? "locked" : "holding");
            break;
        case shared_sync::LockResult::OwnerDied:
            std::puts("abandoned");
            break;
        default:
            std::puts("timed-out");
        }
        if (command == "hold") {
            for (;;) pause();
        }
    } else {
        return 2;
    }
    return 0;
}
