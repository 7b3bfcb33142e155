#include "tools/cli/Json.h"

#include <cstdio>

namespace tool {

std::string FlowControlName(std::uint8_t flowControl) {
    std::string name = "none";
    if ((flowControl & FlowControl::RtsCts) == FlowControl::RtsCts) {
        name = "RTS/CTS";
    } else if (flowControl & FlowControl::AutoRts) {
        name = "automatic RTS";
    } else if (flowControl & FlowControl::AutoCts) {
        name = "automatic CTS";
    }
    if (flowControl & (FlowControl::AutoRtsWithOut1 | FlowControl::AutoCtsWithOut1)) {
        char bits[32];
        std::snprintf(bits, sizeof bits, " (bits 0x%02X)", flowControl);
        name += bits;
    }
    return name;
}

std::string LineModeName(std::uint8_t lineMode) {
    if (lineMode == LineMode::Rs485A || lineMode == LineMode::Rs485B) {
        return "RS-485 mode " + std::to_string(lineMode);
    }
    return "default";
}

std::string BriefSettings(const quelta::LineSettings& settings) {
    std::string text = std::to_string(settings.baudRate) + " " + quelta::FormatFrame(settings);
    if (settings.flowControl != 0) text += " " + FlowControlName(settings.flowControl);
    if (settings.softwareFlow) text += " XON/XOFF";
    if (LineModeName(settings.lineMode) != "default") text += " " + LineModeName(settings.lineMode);
    return text;
}

std::string SettingsJsonFields(const quelta::PortSettings& port) {
    if (!port.opened) return "\"opened\": false";
    const quelta::LineSettings& s = port.settings;
    return "\"opened\": true, \"baud\": " + std::to_string(s.baudRate) +
           ", \"actualBaud\": " + std::to_string(port.actualBaud) +
           ", \"frame\": " + JsonString(quelta::FormatFrame(s)) +
           ", \"flowControl\": " + JsonString(FlowControlName(s.flowControl)) +
           ", \"xonXoff\": " + (s.softwareFlow ? "true" : "false") +
           ", \"xonChar\": " + std::to_string(s.xonChar) +
           ", \"xoffChar\": " + std::to_string(s.xoffChar) +
           ", \"lineMode\": " + JsonString(LineModeName(s.lineMode));
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
