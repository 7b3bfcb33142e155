#include "tests/support/TestNamespace.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace testsupport {

// The process ID alone is not enough: with the kernel's default limit of 32,768 IDs a busy build
// reuses them within minutes, and a test that killed a driver leaves its names behind under its
// process's namespace. The random part keeps the next process with that ID out of them.
std::string ProcessNamespace() {
    static const std::string space = [] {
        std::random_device source;
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", source());
        return "qt" + std::to_string(getpid()) + "-" + tag;
    }();
    return space;
}

void UseProcessNamespace() { setenv("RTSS_NAMESPACE", ProcessNamespace().c_str(), 1); }

std::string UniqueNamespace(const std::string& tag) {
    static std::atomic<int> counter{0};
    return ProcessNamespace() + tag + std::to_string(counter++);
}

std::vector<std::string> NamesIn(const std::string& space) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(space + ".")) {
            names.push_back(name);
        }
    }
    return names;
}

}  // namespace testsupport
