// How the platform's object names live on a POSIX host. Shared by the host backend, which creates
// the objects, and the client library, which opens them.
//
//   \RtDevice\Quelta\Serial0.sm  ->  /rtss.RtDevice.Quelta.Serial0.sm
//
// Leading backslashes are dropped, every other backslash becomes '.', and '/' + namespace + '.'
// goes in front. The namespace is RTSS_NAMESPACE, or "rtss" when unset, so that test runs never
// meet each other or a running driver.
//
// Every object, whatever its kind, is a POSIX shared memory object under its mapped name: the
// request block as it is, a semaphore or a mutex holding its record (platform/host/SharedSync.h).
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

namespace posix_names {

// Every object name carries the namespace, and POSIX names are single path components of at most
// 255 bytes: the namespace is kept to characters that are safe there and short enough to leave
// room for the device name and the backend's suffixes.
constexpr std::size_t MaxNamespaceLength = 100;

// Why RTSS_NAMESPACE cannot be used, or empty when it can (unset or empty means "rtss").
inline std::string NamespaceProblem() {
    const char* configured = std::getenv("RTSS_NAMESPACE");
    if (configured == nullptr) {
        return {};
    }
    const std::string_view text(configured);
    if (text.size() > MaxNamespaceLength) {
        return "RTSS_NAMESPACE: longer than " + std::to_string(MaxNamespaceLength) +
               " characters (it becomes part of every object name)";
    }
    for (const char c : text) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!safe) {
            return "RTSS_NAMESPACE: only letters, digits, '.', '_' and '-' may appear in it";
        }
    }
    return {};
}

inline std::string Namespace() {
    const char* configured = std::getenv("RTSS_NAMESPACE");
    return configured != nullptr && *configured != '\0' ? configured : "rtss";
}

inline std::string ObjectName(std::string_view platformName) {
    std::size_t start = 0;
    while (start < platformName.size() && platformName[start] == '\\') {
        ++start;
    }
    std::string name = "/" + Namespace() + ".";
    for (std::size_t i = start; i < platformName.size(); ++i) {
        name += platformName[i] == '\\' ? '.' : platformName[i];
    }
    return name;
}

}  // namespace posix_names
