// The settings a port runs with as status and list show them, in words and as JSON fields.
#pragma once

#include <string>
#include <string_view>

#include "client/Device.h"

namespace tool {

// "RTS/CTS", "automatic RTS", "automatic CTS" or "none"; the OUT1 variants with their bits.
std::string FlowControlName(std::uint8_t flowControl);
// "default" or "RS-485 mode 2".
std::string LineModeName(std::uint8_t lineMode);
// One column for list: "115200 8N1", then flow control, XON/XOFF and RS-485 when in use.
std::string BriefSettings(const quelta::LineSettings& settings);
// The fields (without braces) for a JSON object: "\"baud\": 57000, \"actualBaud\": 57600, ...".
std::string SettingsJsonFields(const quelta::PortSettings& port);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace tool
