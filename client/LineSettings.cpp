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

bool IsRs485(std::uint8_t lineMode) {
    return lineMode == LineMode::Rs485A || lineMode == LineMode::Rs485B;
}

// Rate and frame, then flow control, XON/XOFF and line mode where in use, after separator each.
std::string Summary(const LineSettings& settings, const std::string& separator,
                    const std::string& xonXoff) {
    std::string text = std::to_string(settings.baudRate) + " " + FormatFrame(settings);
    if (const std::string flow = FlowControlName(settings.flowControl); flow != "none") {
        text += separator + flow;
    }
    if (settings.softwareFlow) text += separator + xonXoff;
    if (IsRs485(settings.lineMode)) text += separator + LineModeName(settings.lineMode);
    return text;
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

std::string FlowControlName(std::uint8_t flowControl) {
    // The OUT1 variants are automatic RTS and CTS as well, which also drive OUT1.
    const bool autoRts = (flowControl & (FlowControl::AutoRts | FlowControl::AutoRtsWithOut1)) != 0;
    const bool autoCts = (flowControl & (FlowControl::AutoCts | FlowControl::AutoCtsWithOut1)) != 0;
    std::string name = autoRts && autoCts ? "RTS/CTS"
                       : autoRts          ? "automatic RTS"
                       : autoCts          ? "automatic CTS"
                                          : "none";
    if (flowControl & (FlowControl::AutoRtsWithOut1 | FlowControl::AutoCtsWithOut1)) {
        char bits[32];
        std::snprintf(bits, sizeof bits, " (bits 0x%02X)", flowControl);
        name += bits;
    }
    return name;
}

std::string LineModeName(std::uint8_t lineMode) {
    if (IsRs485(lineMode)) return "RS-485 mode " + std::to_string(lineMode);
    return "default";
}

std::string ReceiveTriggerName(std::uint8_t level) {
    return level == 0 ? "not reported" : std::to_string(level) + (level == 1 ? " byte" : " bytes");
}

std::string Describe(const LineSettings& settings) {
    char xonXoff[48];
    std::snprintf(xonXoff, sizeof xonXoff, "XON/XOFF (0x%02X/0x%02X)", settings.xonChar,
                  settings.xoffChar);
    return Summary(settings, ", ", xonXoff);
}

std::string DescribeBriefly(const LineSettings& settings) {
    return Summary(settings, " ", "XON/XOFF");
}

}  // namespace quelta
