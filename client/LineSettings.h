// The typed line configuration a client sends with SerialSetConfig. Underneath it is the driver's
// 16-byte LineConfig record (port/PortRecord.h); ToWire and FromWire convert between the two.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "port/PortRecord.h"

namespace quelta {

// The parity letters of the wire record; the driver accepts only these lower-case ones.
enum class Parity : char { None = 'n', Odd = 'o', Even = 'e', Mark = 'm', Space = 's' };

// Stop-bit codes of the wire record. Two needs 6 to 8 data bits, one and a half needs 5.
enum class StopBits : std::uint8_t { One = 1, Two = 2, OneAndHalf = 3 };

// Bits of LineConfig::flowControl. The UART's automatic RTS drops RTS while its receive FIFO is
// full; automatic CTS holds the transmitter while CTS is low. The two "WithDtr" variants do the
// same and also raise DTR (and MCR bit 2).
namespace HardwareFlow {
constexpr std::uint8_t AutoRts = 0x01;
constexpr std::uint8_t AutoCts = 0x02;
constexpr std::uint8_t AutoRtsWithDtr = 0x04;
constexpr std::uint8_t AutoCtsWithDtr = 0x08;
constexpr std::uint8_t RtsCts = AutoRts | AutoCts;
}  // namespace HardwareFlow

// LineConfig::lineMode: 2 and 3 are the board's two RS-485 modes with automatic direction
// control; every other value selects the default line driver. Ports whose line driver is not
// selectable by software ignore it.
namespace LineMode {
constexpr std::uint8_t Default = 0;
constexpr std::uint8_t Rs485Mode2 = 2;
constexpr std::uint8_t Rs485Mode3 = 3;
}  // namespace LineMode

constexpr std::uint8_t DefaultXonChar = 0x11;
constexpr std::uint8_t DefaultXoffChar = 0x13;

struct LineSettings {
    std::int32_t baudRate = 9600;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool softwareFlow = false;  // XON/XOFF in both directions
    std::uint8_t xonChar = DefaultXonChar;
    std::uint8_t xoffChar = DefaultXoffChar;
    std::uint8_t flowControl = 0;  // HardwareFlow bits
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

// One line for people: "115200 8N1, RTS/CTS, XON/XOFF (0x11/0x13), RS-485 mode 2".
std::string Describe(const LineSettings& settings);

}  // namespace quelta
