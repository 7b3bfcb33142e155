#include "tools/cli/Json.h"

#include <cstdio>

namespace tool {

std::string SettingsJsonFields(const quelta::PortSettings& port) {
    if (!port.opened) return "\"opened\": false";
    const quelta::LineSettings& s = port.settings;
    return "\"opened\": true, \"baud\": " + std::to_string(s.baudRate) +
           ", \"actualBaud\": " + std::to_string(port.actualBaud) +
           ", \"frame\": " + JsonString(quelta::FormatFrame(s)) +
           ", \"flowControl\": " + JsonString(quelta::FlowControlName(s.flowControl)) +
           ", \"xonXoff\": " + (s.softwareFlow ? "true" : "false") +
           ", \"xonChar\": " + std::to_string(s.xonChar) +
           ", \"xoffChar\": " + std::to_string(s.xoffChar) +
           ", \"lineMode\": " + JsonString(quelta::LineModeName(s.lineMode)) + ", \"rxTrigger\": " +
           (port.receiveTrigger != 0 ? std::to_string(port.receiveTrigger) : "null");
}

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

}  // namespace tool
