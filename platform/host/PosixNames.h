// How the platform's object names live on a POSIX host. Shared by the host backend, which creates
// the objects, and the client library, which opens them.
//
//   \RtDevice\Quelta\Serial0.sm  ->  /rtss.RtDevice.Quelta.Serial0.sm
//
// Leading backslashes are dropped, every other backslash becomes '.', and '/' + namespace + '.'
// goes in front. The namespace is RTSS_NAMESPACE, or "rtss" when unset, so that test runs never
// meet each other or a running driver.
#pragma once

#include <pthread.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace posix_names {

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

// A platform mutex is a shared memory object holding this record: a process-shared, robust,
// recursive pthread mutex at offset 0, so that a client that dies holding it blocks nobody.
struct MutexObject {
    pthread_mutex_t mutex;
};

}  // namespace posix_names
