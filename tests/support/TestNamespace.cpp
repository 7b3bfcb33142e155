#include "tests/support/TestNamespace.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace testsupport {

std::string ProcessNamespace() { return "qt" + std::to_string(getpid()); }

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
