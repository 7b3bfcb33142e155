#include "tools/pty/TermiosSettings.h"

#include <unistd.h>

#include <array>
#include <utility>

namespace tool {
namespace {

// The standard speed codes; the pty carries no rate of its own, so each only names the port's.
constexpr std::array<std::pair<speed_t, std::int32_t>, 31> Speeds = {{
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
    {B0, 0},
}};

std::int32_t Rate(speed_t speed) {
    for (const auto& [code, rate] : Speeds) {
        if (code == speed) return rate;
    }
    return 0;
}

}  // namespace

std::optional<quelta::LineSettings> SettingsFromTermios(const termios& mode,
                                                        quelta::LineSettings port) {
    const std::int32_t rate = Rate(cfgetospeed(&mode));
    if (rate == 0) return std::nullopt;
    port.baudRate = rate;
    // The channel's "more stop bits" is one and a half with 5 data bits, two with more.
    if ((mode.c_cflag & CSTOPB) == 0) {
        port.stopBits = StopBits::One;
    } else {
        port.stopBits = port.dataBits == 5 ? StopBits::OneAndAHalf : StopBits::Two;
    }
    port.flowControl = (mode.c_cflag & CRTSCTS) != 0 ? FlowControl::RtsCts : 0;
    // The channel's XON/XOFF works both ways at once: either flag asks for it. A character set to
    // "undef" (_POSIX_VDISABLE, which is NUL here) does not exist, so XON/XOFF cannot work without
    // it: the channel must never take a NUL from the line for one.
    const bool defined =
        mode.c_cc[VSTART] != _POSIX_VDISABLE && mode.c_cc[VSTOP] != _POSIX_VDISABLE;
    port.softwareFlow = (mode.c_iflag & (IXON | IXOFF)) != 0 && defined;
    if (port.softwareFlow) {
        port.xonChar = mode.c_cc[VSTART];
        port.xoffChar = mode.c_cc[VSTOP];
    }
    return port;
}

void ApplySettingsToTermios(const quelta::LineSettings& settings, termios& mode) {
    for (const auto& [code, rate] : Speeds) {
        if (rate == settings.baudRate) {
            cfsetspeed(&mode, code);
        }
    }
    // Size and parity are left to the pty, which holds them at CS8 without parity anyway.
    mode.c_cflag &= ~(CSTOPB | CRTSCTS);
    if (settings.stopBits != StopBits::One) mode.c_cflag |= CSTOPB;
    if ((settings.flowControl & FlowControl::RtsCts) != 0) mode.c_cflag |= CRTSCTS;
    mode.c_iflag &= ~(IXON | IXOFF);
    if (settings.softwareFlow) mode.c_iflag |= IXON | IXOFF;
    mode.c_cc[VSTART] = settings.xonChar;
    mode.c_cc[VSTOP] = settings.xoffChar;
}

}  // namespace tool
