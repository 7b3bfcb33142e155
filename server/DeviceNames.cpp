#include "server/DeviceNames.h"

#include <cstring>

DeviceNameRecord DeviceNameTable[MaxPorts] = {};

// The walk stops at the first match: channel n's own record comes before any record that set-up
// may still be writing, so a lookup never reads one half written.
const DeviceNameRecord* FindDeviceName(const char* name) {
    for (const DeviceNameRecord& record : DeviceNameTable) {
        const std::size_t length = strnlen(record.deviceName, DeviceNameSize);
        if (length != 0 && std::strncmp(name, record.deviceName, length) == 0) {
            return &record;
        }
    }
    return nullptr;
}
