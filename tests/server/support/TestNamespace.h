// Every server test process works in a namespace of its own (RTSS_NAMESPACE), set before any test
// runs and inherited by the processes it starts, so that parallel runs never meet.
#pragma once

#include <string>
#include <vector>

namespace servertest {

// The namespace of this process.
std::string TestNamespace();

// Entries of /dev/shm that belong to this namespace (objects, semaphores, owner locks).
std::vector<std::string> LeftoverNames();

// Whether the POSIX object for the platform name exists now.
bool SharedMemoryExists(const std::string& platformName);
bool SemaphoreExists(const std::string& platformName);

}  // namespace servertest
