// The layout of hexdump -C for bytes that arrive in pieces: offset, 16 bytes in hexadecimal in two
// groups of 8, and the printable ones between bars ('.' for the rest). A line is ready as soon as
// its 16 bytes are there, so a slow receive shows its lines as they fill; repeated lines are not
// folded into '*', since the next bytes are not known yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tool {

class HexDump {
public:
    // The lines these bytes complete, without newlines.
    std::vector<std::string> Add(std::span<const std::uint8_t> bytes);
    // The last partial line and the final offset, as hexdump -C ends; nothing when no byte came.
    std::vector<std::string> Finish();

private:
    std::string PendingLine() const;
    std::size_t offset_ = 0;  // of the first pending byte
    std::vector<std::uint8_t> pending_;
};

}  // namespace tool
