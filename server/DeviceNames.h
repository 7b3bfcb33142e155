// The names of the devices that board set-up creates, one record per channel: how SerialOpen
// finds the port behind a device channel.
#pragma once

#include <cstdint>

#include "port/PortRecord.h"

constexpr std::uint32_t DeviceNameSize = 100;  // with the terminator

struct DeviceNameRecord {
    char deviceName[DeviceNameSize];  // terminated; empty for channels the board does not have
    std::uint8_t portIndex;           // the channel number behind the name
};

// Indexed by channel number, all zero at load. Set-up fills record n before it creates channel n
// and changes nothing afterwards; request threads only read it.
extern DeviceNameRecord DeviceNameTable[MaxPorts];

// The first record, in index order, whose whole name begins the given terminated name; null when
// none does.
const DeviceNameRecord* FindDeviceName(const char* name);
