#include "client/LineSettings.h"

#include <cctype>
#include <cstdio>

namespace quelta {
namespace {

bool IsParityLetter(char letter) {
    switch (letter) {
    case Parity::None:
    case Parity::Odd:
    case Parity::Even:
    case Parity::Mark:
    case Parity::Space:
        return true;
    default:
        return false;
    }
}

}  // namespace

LineConfig LineSettings::ToWire() const {
    LineConfig wire{};
    wire.baudRate = baudRate;
    wire.parity = parity;
    wire.stopBits = stopBits;
    wire.dataBits = dataBits;
    wire.reserved = 0;
    wire.softwareFlow = softwareFlow ? 1U : 0U;
    wire.xoffChar = xoffChar;
    wire.xonChar = xonChar;
    wire.flowControl = flowControl;
    wire.lineMode = lineMode;
    return wire;
}

LineSettings LineSettings::FromWire(const LineConfig& wire) {
    LineSettings settings;
    settings.baudRate = wire.baudRate;
    settings.dataBits = wire.dataBits;
    settings.parity = wire.parity;
    settings.stopBits = wire.stopBits;
    settings.softwareFlow = wire.softwareFlow != 0;
    settings.xonChar = wire.xonChar;
    settings.xoffChar = wire.xoffChar;
    settings.flowControl = wire.flowControl;
    settings.lineMode = wire.lineMode;
    return settings;
}

std::optional<std::string> ExplainRefusal(const LineSettings& settings) {
    if (settings.baudRate < 1) {
        return "baud rate " + std::to_string(settings.baudRate) + " is not positive";
    }
    if (settings.dataBits < 5 || settings.dataBits > 8) {
        return std::to_string(settings.dataBits) + " data bits (5 to 8 are possible)";
    }
    if (!IsParityLetter(settings.parity)) {
        return "parity code " + std::to_string(static_cast<unsigned char>(settings.parity)) +
               " (none, odd, even, mark or space)";
    }
    switch (settings.stopBits) {
    case StopBits::One:
        break;
    case StopBits::Two:
        if (settings.dataBits == 5) {
            return std::string("two stop bits need 6 to 8 data bits (5 data bits take 1 or 1.5)");
        }
        break;
    case StopBits::OneAndAHalf:
        if (settings.dataBits != 5) {
            return std::string("one and a half stop bits need 5 data bits");
        }
        break;
    default:
        return "stop-bit code " + std::to_string(static_cast<unsigned>(settings.stopBits)) +
               " (1, 2 or 3 for one and a half)";
    }
    return std::nullopt;
}

bool ParseFrameFormat(std::string_view text, LineSettings& settings) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') {
        return false;
    }
    const char parity = static_cast<char>(std::tolower(static_cast<unsigned char>(text[1])));
    if (!IsParityLetter(parity)) {
        return false;
    }
    const std::string_view stop = text.substr(2);
    std::uint8_t stopBits = 0;
    if (stop == "1") {
        stopBits = StopBits::One;
    } else if (stop == "2") {
        stopBits = StopBits::Two;
    } else if (stop == "1.5") {
        stopBits = StopBits::OneAndAHalf;
    } else {
        return false;
    }
    settings.dataBits = static_cast<std::uint8_t>(text[0] - '0');
    settings.parity = parity;
    settings.stopBits = stopBits;
    return true;
}

std::string FormatFrame(const LineSettings& settings) {
    std::string frame = std::to_string(settings.dataBits);
    frame += IsParityLetter(settings.parity)
                 ? static_cast<char>(std::toupper(static_cast<unsigned char>(settings.parity)))
                 : '?';
    switch (settings.stopBits) {
    case StopBits::One:
        frame += "1";
        break;
    case StopBits::Two:
        frame += "2";
        break;
    case StopBits::OneAndAHalf:
        frame += "1.5";
        break;
    default:
        frame += "?";
        break;
    }
    return frame;
}

std::string Describe(const LineSettings& settings) {
    std::string text = std::to_string(settings.baudRate) + " " + FormatFrame(settings);
    const std::uint8_t flow = settings.flowControl;
    if ((flow & FlowControl::RtsCts) == FlowControl::RtsCts) {
        text += ", RTS/CTS";
    } else if (flow & FlowControl::AutoRts) {
        text += ", automatic RTS";
    } else if (flow & FlowControl::AutoCts) {
        text += ", automatic CTS";
    }
    if (flow & (FlowControl::AutoRtsWithOut1 | FlowControl::AutoCtsWithOut1)) {
        char bits[48];
        std::snprintf(bits, sizeof bits, ", flow control bits 0x%02X", flow);
        text += bits;
    }
    if (settings.softwareFlow) {
        char chars[48];
        std::snprintf(chars, sizeof chars, ", XON/XOFF (0x%02X/0x%02X)", settings.xonChar,
                      settings.xoffChar);
        text += chars;
    }
    if (settings.lineMode == LineMode::Rs485A || settings.lineMode == LineMode::Rs485B) {
        text += ", RS-485 mode " + std::to_string(settings.lineMode);
    }
    return text;
}

}  // namespace quelta
