// The line settings a program asks for with termios on a pty, as the driver's LineSettings: the
// speed, the stop bits, CRTSCTS, IXON/IXOFF and their characters. Linux's pty forces CS8 without
// PARENB whatever the program sets, so the character size and the parity cannot come this way:
// they stay as the port has them.
#pragma once

#include <termios.h>

#include <optional>

#include "client/LineSettings.h"

namespace tool {

// The port's settings with what the termios asks for put in, or nothing for a speed that names
// no rate (B0, hang up).
std::optional<quelta::LineSettings> SettingsFromTermios(const termios& mode,
                                                        quelta::LineSettings port);

// Puts the settings' rate, stop bits and flow control into a termios, so that the pty shows a
// program what the port runs with; the rest of the termios stays as it is.
void ApplySettingsToTermios(const quelta::LineSettings& settings, termios& mode);

}  // namespace tool
