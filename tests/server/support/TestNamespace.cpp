#include "tests/server/support/TestNamespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/host/PosixNames.h"

namespace servertest {
namespace {

// Runs before main: the first named object of the process must already see it.
const std::string processNamespace = [] {
    std::string name = "qsrv" + std::to_string(getpid());
    setenv("RTSS_NAMESPACE", name.c_str(), 1);
    return name;
}();

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string TestNamespace() { return processNamespace; }

std::vector<std::string> LeftoverNames() {
    std::vector<std::string> names;
    DIR* directory = opendir("/dev/shm");
    if (directory == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (StartsWith(name, processNamespace + ".") ||
            StartsWith(name, "sem." + processNamespace + ".")) {
            names.push_back(name);
        }
    }
    closedir(directory);
    return names;
}

bool SharedMemoryExists(const std::string& platformName) {
    const int fd = shm_open(posix_names::ObjectName(platformName).c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

bool SemaphoreExists(const std::string& platformName) {
    sem_t* semaphore = sem_open(posix_names::ObjectName(platformName).c_str(), 0);
    if (semaphore == SEM_FAILED) {
        return false;
    }
    sem_close(semaphore);
    return true;
}

}  // namespace servertest
