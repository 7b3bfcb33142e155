#include <cstdio>
#include <string>

#include "client/DeviceName.h"
#include "client/LineSignals.h"
#include "tools/cli/Json.h"
#include "tools/common/Commands.h"

namespace tool {
namespace {

const char* OnOff(bool on) { return on ? "on" : "off"; }

std::string JsonFlags(std::uint8_t raw, std::span<const quelta::FlagName> flags) {
    std::string json = "{\"raw\": " + std::to_string(raw);
    for (const quelta::FlagName& flag : flags) {
        std::string key;
        // JSON keys in lower camel case: "cts-changed" -> "ctsChanged".
        for (const char* c = flag.name; *c != '\0'; ++c) {
            if (*c == '-' && c[1] != '\0') {
                key += static_cast<char>(c[1] - 'a' + 'A');
                ++c;
            } else {
                key += *c;
            }
        }
        json += ", \"" + key + "\": " + ((raw & flag.bit) != 0 ? "true" : "false");
    }
    return json + "}";
}

std::string JsonCounts(const quelta::ErrorCounts& counts) {
    return "{\"overruns\": " + std::to_string(counts.overruns) +
           ", \"parityErrors\": " + std::to_string(counts.parityErrors) +
           ", \"framingErrors\": " + std::to_string(counts.framingErrors) +
           ", \"breaks\": " + std::to_string(counts.breaks) +
           ", \"ringOverruns\": " + std::to_string(counts.ringOverruns) + "}";
}

void PrintSettings(const quelta::PortSettings& port, const quelta::ErrorCounts& counts) {
    if (!port.opened) {
        std::printf("  settings       not opened since the driver started\n");
        return;
    }
    const quelta::LineSettings& settings = port.settings;
    std::printf("  baud           %d (actual %u)\n", settings.baudRate, port.actualBaud);
    std::printf("  frame          %s\n", quelta::FormatFrame(settings).c_str());
    std::printf("  flow control   %s\n", quelta::FlowControlName(settings.flowControl).c_str());
    if (settings.softwareFlow) {
        std::printf("  XON/XOFF       on (0x%02X/0x%02X)\n", settings.xonChar, settings.xoffChar);
    } else {
        std::printf("  XON/XOFF       off\n");
    }
    std::printf("  line mode      %s\n", quelta::LineModeName(settings.lineMode).c_str());
    std::printf("  rx trigger     %s\n", quelta::ReceiveTriggerName(port.receiveTrigger).c_str());
    std::printf(
        "  error counts   overruns %u, parity %u, framing %u, breaks %u, ring overruns %u "
        "(since the port was opened)\n",
        counts.overruns, counts.parityErrors, counts.framingErrors, counts.breaks,
        counts.ringOverruns);
}

int RunStatus(const Invocation& invocation) {
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));
    const quelta::ModemStatus modem = port.GetModemStatus();
    const quelta::LineStatus line = port.GetLineStatus();
    const quelta::ModemControl control = port.GetModemControl();
    const quelta::LineErrors errors = port.GetLineErrors();
    const std::uint32_t waiting = port.GetRxCount();
    const quelta::PortSettings settings = port.GetSettings();
    const quelta::ErrorCounts counts = port.GetErrorCounts();
    const std::string name = quelta::ShortDeviceName(port.Name());

    if (invocation.Args().Has("--json")) {
        std::printf(
            "{\"device\": \"%s\", \"port\": %u,\n"
            " \"modemStatus\": %s,\n \"lineStatus\": %s,\n \"modemControl\": %s,\n"
            " \"lineErrors\": %s,\n \"bytesWaiting\": %u,\n \"settings\": {%s},\n"
            " \"errorCounts\": %s}\n",
            name.c_str(), static_cast<unsigned>(port.PortIndex()),
            JsonFlags(modem.raw, quelta::ModemStatusFlags()).c_str(),
            JsonFlags(line.raw, quelta::LineStatusFlags()).c_str(),
            JsonFlags(control.raw, quelta::ModemControlFlags()).c_str(),
            JsonFlags(errors.raw, quelta::LineErrorFlags()).c_str(), waiting,
            SettingsJsonFields(settings).c_str(),
            settings.opened ? JsonCounts(counts).c_str() : "null");
        return ExitOk;
    }
    const std::uint8_t changes = modem.raw & 0x0F;
    std::printf("%s (port %u)\n", name.c_str(), static_cast<unsigned>(port.PortIndex()));
    std::printf("  modem lines    CTS %s, DSR %s, RI %s, DCD %s", OnOff(modem.cts),
                OnOff(modem.dsr), OnOff(modem.ring), OnOff(modem.dcd));
    if (changes != 0) {
        std::printf("  (%s)", quelta::FlagList(changes, quelta::ModemStatusFlags()).c_str());
    }
    std::printf("\n  outputs        DTR %s, RTS %s\n", OnOff(control.dtr), OnOff(control.rts));
    std::printf("  line status    %s (0x%02X)\n",
                quelta::FlagList(line.raw, quelta::LineStatusFlags()).c_str(), line.raw);
    std::printf("  line errors    %s (since the driver started)\n",
                quelta::FlagList(errors.raw, quelta::LineErrorFlags()).c_str());
    std::printf("  bytes waiting  %u\n", waiting);
    PrintSettings(settings, counts);
    return ExitOk;
}

}  // namespace

std::vector<CommandEntry> StatusCommands() {
    return {
        {"status",
         "status DEV [--json]",
         "show a port's lines, settings and error counts",
         "Shows the modem inputs (CTS, DSR, RI, DCD, and which changed since the last read),\n"
         "the DTR and RTS outputs, the line status register, the receive errors gathered since\n"
         "the driver started (overrun, parity, framing, break), the bytes waiting in the\n"
         "receive ring, then the settings in force: the baud rate asked for and the one the\n"
         "board's clock really makes, frame, flow control, XON/XOFF, line mode and the receive\n"
         "FIFO level at which the UART interrupts (quelta config --rx-trigger), and the\n"
         "line errors counted since the port was opened (overruns, parity and framing errors,\n"
         "breaks, bytes dropped for a full receive ring). Reading the modem and line status\n"
         "clears their change and error bits on the board, as on any 16550.\n\n"
         "Options:\n"
         "  --json    one JSON object: each register as raw value and named flags, the\n"
         "            settings and the error counts as fields\n",
         {{"--json", false}},
         1,
         1,
         RunStatus}};
}

}  // namespace tool
