// The line configuration a client sends with SerialSetConfig, with the codes of the wire record
// (wire/LineConfig.h); ToWire and FromWire convert between the two.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/ExtensionRecords.h"  // ReceiveTrigger: the levels Device::SetReceiveTrigger takes
#include "wire/LineConfig.h"

namespace quelta {

struct LineSettings {
    std::int32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    char parity = Parity::None;             // a Parity letter
    std::uint8_t stopBits = StopBits::One;  // a StopBits code
    bool softwareFlow = false;              // XON/XOFF in both directions
    std::uint8_t xonChar = DefaultXonChar;
    std::uint8_t xoffChar = DefaultXoffChar;
    std::uint8_t flowControl = 0;  // FlowControl bits
    std::uint8_t lineMode = LineMode::Default;

    LineConfig ToWire() const;
    static LineSettings FromWire(const LineConfig& wire);
    bool operator==(const LineSettings&) const = default;
};

// Why the driver would refuse these settings, or nothing when it would take them as far as the
// library can tell. The reachable baud rates depend on the board's clock, which only the driver
// knows, so a positive rate passes here and may still be refused.
std::optional<std::string> ExplainRefusal(const LineSettings& settings);

// Reads a frame format such as "8N1", "7E2" or "5N1.5" (data bits, parity letter in either case,
// stop bits 1, 1.5 or 2) into the settings; false when the text is not one.
bool ParseFrameFormat(std::string_view text, LineSettings& settings);

// "8N1", "5N1.5".
std::string FormatFrame(const LineSettings& settings);

// The flowControl bits in words: "RTS/CTS", "automatic RTS", "automatic CTS" or "none"; with an
// OUT1 variant, the bits follow: "automatic RTS (bits 0x04)".
std::string FlowControlName(std::uint8_t flowControl);

// "default", or "RS-485 mode 2" for one of the board's RS-485 modes.
std::string LineModeName(std::uint8_t lineMode);

// The receive FIFO level at which the UART interrupts, as PortSettings reports it: "8 bytes", or
// "not reported" for the 0 of a driver without it.
std::string ReceiveTriggerName(std::uint8_t level);

// One line for people: "115200 8N1, RTS/CTS, XON/XOFF (0x11/0x13), RS-485 mode 2"; flow
// control, XON/XOFF and line mode only when in use.
std::string Describe(const LineSettings& settings);

// The same for a column: "115200 8N1 RTS/CTS XON/XOFF RS-485 mode 2".
std::string DescribeBriefly(const LineSettings& settings);

}  // namespace quelta
