// The JSON that list --json and status --json print: a port's settings as fields, and strings.
#pragma once

#include <string>
#include <string_view>

#include "client/Device.h"

namespace tool {

// The fields (without braces) for a JSON object: "\"baud\": 57000, \"actualBaud\": 57600, ...".
std::string SettingsJsonFields(const quelta::PortSettings& port);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace tool
