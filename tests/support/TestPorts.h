// Port records for tests: zeroed, wired to a register window and entered into PortTable, and
// taken out again when the test ends.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/PortRecord.h"

namespace fake {

class TestPorts {
public:
    TestPorts() = default;
    ~TestPorts();
    TestPorts(const TestPorts&) = delete;
    TestPorts& operator=(const TestPorts&) = delete;

    // Installs a zeroed record for the port index, reaching the given window, with no settings
    // in force and no receive hold.
    PortRecord& Add(std::uint8_t portIndex, ChannelRegs* regs);

private:
    std::vector<std::pair<std::uint8_t, std::unique_ptr<PortRecord>>> records_;
};

// Ring invariant: head = (tail + count) mod RingSize, for both rings.
bool RingsConsistent(const PortRecord& port);

// What the receive service would have left: count bytes first, first + 1, ... from rxHead on.
void Receive(PortRecord& port, std::uint32_t count, std::uint8_t first = 0);

}  // namespace fake
