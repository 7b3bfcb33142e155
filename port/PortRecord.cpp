#include "port/PortRecord.h"

PortRecord* PortTable[MaxPorts] = {};

PortRecord* FindPort(std::uint8_t portIndex) {
    return portIndex < MaxPorts ? PortTable[portIndex] : nullptr;
}
