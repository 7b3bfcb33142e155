// Where a device's objects live on this host: the names the host backend gives the driver's
// platform objects (shared memory, semaphores, mutex), so that clients open what the driver
// created, and the namespace that keeps one driver's devices apart from another's.
#pragma once

#include <string>
#include <string_view>

namespace quelta {

// RTSS_NAMESPACE, or "rtss" when unset. Throws InvalidArgument when it cannot be used.
std::string ObjectNamespace();

// The POSIX name of a platform object: "\RtDevice\Quelta\Serial0.sm" becomes
// "/<namespace>.RtDevice.Quelta.Serial0.sm". Throws InvalidArgument for an unusable namespace.
std::string PosixObjectName(std::string_view platformName);

}  // namespace quelta
