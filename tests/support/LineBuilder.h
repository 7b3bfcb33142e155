// A line configuration as a client sends it, built from named fields in the record's own order:
// Line({.baudRate = 9600, .parity = Parity::Even, .dataBits = 7}). Designators out of that order
// do not compile, so stop and data bits cannot trade places unnoticed.
#pragma once

#include <cstdint>

#include "wire/LineConfig.h"

namespace testsupport {

// Every field a client leaves out takes what a plain client sends: 115200 8N1, no flow control,
// the default XON and XOFF characters.
struct LineFields {
    std::int32_t baudRate = 115200;
    char parity = Parity::None;
    std::uint8_t stopBits = StopBits::One;
    std::uint8_t dataBits = 8;
    std::uint8_t reserved = 0;
    std::uint32_t softwareFlow = 0;
    std::uint8_t xoffChar = DefaultXoffChar;
    std::uint8_t xonChar = DefaultXonChar;
    std::uint8_t flowControl = 0;
    std::uint8_t lineMode = LineMode::Default;
};

inline LineConfig Line(const LineFields& f = {}) {
    return {f.baudRate,     f.parity,   f.stopBits, f.dataBits,    f.reserved,
            f.softwareFlow, f.xoffChar, f.xonChar,  f.flowControl, f.lineMode};
}

// The record as the request's data bytes.
inline const std::uint8_t* Bytes(const LineConfig& config) {
    return reinterpret_cast<const std::uint8_t*>(&config);
}

}  // namespace testsupport
