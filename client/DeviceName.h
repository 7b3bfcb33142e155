// Device names: the full platform name ("\RtDevice\Quelta\Serial0"), the short form users type
// ("Serial0"), and the devices that exist on this host.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelta {

// The full name for a full or short name. Throws InvalidArgument for an empty name, one with a '/'
// (it could not be a POSIX object name), one in another folder than the prefix, or one the driver
// could not hold (its name buffer is 100 bytes with the terminator).
std::string FullDeviceName(std::string_view name);

// The short form of a full name ("Serial0"); a short name comes back as it is.
std::string ShortDeviceName(std::string_view name);

// The full names of the devices whose shared memory object exists in the current namespace
// (RTSS_NAMESPACE), in natural order (Serial2 before Serial10). Objects left by a driver that died
// are listed too until the next driver start reclaims them.
std::vector<std::string> ListDevices();

}  // namespace quelta
