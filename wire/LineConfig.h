// The line configuration a client sends with SerialSetConfig, and the codes of its fields: part
// of the wire format between the driver and its clients, beside RequestBlock.h. The driver copies
// the 16 bytes into the port as they come and checks them there (port/PortOps.cpp), so the layout
// is fixed byte for byte; multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

struct LineConfig {
    std::int32_t baudRate;       // bits per second; below 1 is refused
    char parity;                 // a Parity letter
    std::uint8_t stopBits;       // a StopBits code
    std::uint8_t dataBits;       // 5 to 8
    std::uint8_t reserved;       // not interpreted
    std::uint32_t softwareFlow;  // non-zero: XON/XOFF in both directions
    std::uint8_t xoffChar;       // XOFF character (DefaultXoffChar after open)
    std::uint8_t xonChar;        // XON character (DefaultXonChar after open)
    std::uint8_t flowControl;    // FlowControl bits
    std::uint8_t lineMode;       // a LineMode code
};
static_assert(sizeof(LineConfig) == 16);
static_assert(offsetof(LineConfig, baudRate) == 0 && offsetof(LineConfig, parity) == 4 &&
              offsetof(LineConfig, stopBits) == 5 && offsetof(LineConfig, dataBits) == 6 &&
              offsetof(LineConfig, reserved) == 7 && offsetof(LineConfig, softwareFlow) == 8 &&
              offsetof(LineConfig, xoffChar) == 12 && offsetof(LineConfig, xonChar) == 13 &&
              offsetof(LineConfig, flowControl) == 14 && offsetof(LineConfig, lineMode) == 15);

// Parity letters; only these lower-case ones are taken.
namespace Parity {
constexpr char None = 'n';
constexpr char Odd = 'o';
constexpr char Even = 'e';
constexpr char Mark = 'm';
constexpr char Space = 's';
}  // namespace Parity

// Stop-bit codes. The channel has one "more stop bits" setting: two with 6 to 8 data bits, one
// and a half with 5, so each code is taken only with the word length that gives it its meaning.
namespace StopBits {
constexpr std::uint8_t One = 1;
constexpr std::uint8_t Two = 2;          // with 6, 7 or 8 data bits
constexpr std::uint8_t OneAndAHalf = 3;  // with 5 data bits
}  // namespace StopBits

// flowControl bits: the UART's automatic RTS drops RTS while its receive FIFO is full, automatic
// CTS holds the transmitter while CTS is low. The two "WithOut1" bits do the same and also set
// MCR OUT1 together with DTR. Bits 4 to 7 are ignored.
namespace FlowControl {
constexpr std::uint8_t AutoRts = 0x01;
constexpr std::uint8_t AutoCts = 0x02;
constexpr std::uint8_t AutoRtsWithOut1 = 0x04;
constexpr std::uint8_t AutoCtsWithOut1 = 0x08;
constexpr std::uint8_t RtsCts = AutoRts | AutoCts;
}  // namespace FlowControl

// lineMode: 2 and 3 select the board's two RS-485 modes with automatic direction control; every
// other value the default line driver. Ports without a selectable line driver ignore it.
namespace LineMode {
constexpr std::uint8_t Default = 0;
constexpr std::uint8_t Rs485A = 2;
constexpr std::uint8_t Rs485B = 3;
}  // namespace LineMode

// What a SerialOpen puts into the configuration's flow-control characters.
constexpr std::uint8_t DefaultXonChar = 0x11;   // DC1
constexpr std::uint8_t DefaultXoffChar = 0x13;  // DC3
