#include "server/DeviceNames.h"

#include <cstring>

DeviceNameRecord DeviceNameTable[MaxPorts] = {};

namespace {

// The length of a record's name: up to its terminator, or the whole buffer if it has none.
std::size_t NameLength(const DeviceNameRecord& record) {
    std::size_t length = 0;
    while (length < DeviceNameSize && record.deviceName[length] != '\0') {
        ++length;
    }
    return length;
}

}  // namespace

// The walk stops at the first match: channel n's own record comes before any record that set-up
// may still be writing, so a lookup never reads one half written.
const DeviceNameRecord* FindDeviceName(const char* name) {
    for (const DeviceNameRecord& record : DeviceNameTable) {
        const std::size_t length = NameLength(record);
        if (length != 0 && std::strncmp(name, record.deviceName, length) == 0) {
            return &record;
        }
    }
    return nullptr;
}
