#include <cstdio>
#include <string>

#include "client/DeviceName.h"
#include "tools/cli/TimeOfDay.h"
#include "tools/common/Commands.h"
#include "tools/common/Interrupt.h"

namespace tool {
namespace {

// While nothing happens, how often watch asks whether the driver still answers: a driver that
// stops answering raises no event to say so. The library's own check of the driver wakes a
// sleeping wait this often anyway.
constexpr auto DefaultIntervalMs = static_cast<unsigned long>(quelta::DefaultDriverCheck.count());

struct ModemLine {
    const char* name;
    bool quelta::ModemStatus::*level;
};
constexpr ModemLine ModemLines[] = {{"CTS", &quelta::ModemStatus::cts},
                                    {"DSR", &quelta::ModemStatus::dsr},
                                    {"RI", &quelta::ModemStatus::ring},
                                    {"DCD", &quelta::ModemStatus::dcd}};

struct ErrorKind {
    const char* one;
    const char* many;
    std::uint32_t quelta::ErrorCounts::*count;
};
constexpr ErrorKind ErrorKinds[] = {
    {"overrun", "overruns", &quelta::ErrorCounts::overruns},
    {"parity error", "parity errors", &quelta::ErrorCounts::parityErrors},
    {"framing error", "framing errors", &quelta::ErrorCounts::framingErrors},
    {"break", "breaks", &quelta::ErrorCounts::breaks},
    {"byte dropped (receive ring full)", "bytes dropped (receive ring full)",
     &quelta::ErrorCounts::ringOverruns},
};

void Say(const std::string& what) {
    std::printf("%s %s\n", TimeOfDay().c_str(), what.c_str());
    std::fflush(stdout);  // a watcher reads each change as it happens, also through a pipe
}

// The levels compared, as read after each event: a pulse over before the tool looks goes unseen;
// the error counts cannot.
void ReportChanges(const quelta::ModemStatus& before, const quelta::ModemStatus& now) {
    for (const ModemLine& line : ModemLines) {
        if (before.*line.level != now.*line.level) {
            Say(std::string(line.name) + (now.*line.level ? " on" : " off"));
        }
    }
}

void ReportNewErrors(const quelta::ErrorCounts& before, const quelta::ErrorCounts& now) {
    for (const ErrorKind& kind : ErrorKinds) {
        const std::uint32_t was = before.*kind.count;
        const std::uint32_t is = now.*kind.count;
        // Fewer than before: another client opened the port again and the counts restarted.
        const std::uint32_t added = is >= was ? is - was : is;
        if (added == 1 && kind.count == &quelta::ErrorCounts::breaks) {
            Say("break");
        } else if (added > 0) {
            Say("+" + std::to_string(added) + " " + (added == 1 ? kind.one : kind.many));
        }
    }
}

int RunWatch(const Invocation& invocation) {
    const auto intervalText = invocation.Args().Value("--interval");
    const unsigned long intervalMs =
        intervalText ? ParseCount(*intervalText, "--interval", 60000) : DefaultIntervalMs;
    if (intervalMs == 0) throw UsageError("--interval must be at least 1 ms");
    CatchInterrupts();
    quelta::Device port = invocation.Open(invocation.Argument(0, "device"));

    quelta::ModemStatus lines = port.GetModemStatus();
    quelta::ErrorCounts counts = port.GetErrorCounts();
    std::string state = quelta::ShortDeviceName(port.Name()) + ":";
    for (const ModemLine& line : ModemLines) {
        state += std::string(" ") + line.name + (lines.*line.level ? " on" : " off");
    }
    Say(state);
    // Woken by the driver's events for a modem change or a line error, or after the interval
    // without one, to look whether the driver still answers. Against a driver without events,
    // or with every waiter slot taken, it asks once each interval.
    const CancelOnInterrupt cancel({&port});
    bool evented = port.HasEvents();
    while (!Interrupted()) {
        if (evented) {
            try {
                (void)port.WaitEvents(PortEvent::ModemChange | PortEvent::LineError,
                                      std::chrono::milliseconds(intervalMs));
            } catch (const quelta::Error& error) {
                if (error.Code() != quelta::ErrorCode::DeviceBusy) throw;
                evented = false;
            }
        } else {
            Nap(std::chrono::milliseconds(intervalMs));
        }
        if (Interrupted()) break;
        const quelta::ModemStatus newLines = port.GetModemStatus();
        const quelta::ErrorCounts newCounts = port.GetErrorCounts();
        ReportChanges(lines, newLines);
        ReportNewErrors(counts, newCounts);
        lines = newLines;
        counts = newCounts;
    }
    return ExitInterrupted;  // watching ends with Ctrl-C by design: nothing more to say
}

}  // namespace

std::vector<CommandEntry> WatchCommands() {
    return {{"watch",
             "watch DEV [--interval MS]",
             "print modem-line changes and line errors",
             "Prints the modem inputs once, then a line with the time for each change of CTS,\n"
             "DSR, RI or DCD ('12:34:56.789 CTS on') and each new line error counted by the\n"
             "driver ('+1 parity error', 'break'), until Ctrl-C (exit 130) or until the driver\n"
             "stops answering (exit 1). It sleeps until the driver reports a change or an error,\n"
             "and reads no bytes from the port: a receiver running meanwhile misses nothing. A\n"
             "modem line that changes and changes back before watch has looked is not seen.\n\n"
             "Options:\n"
             "  --interval MS  while nothing happens, how often to ask whether the driver still\n"
             "                 answers (default 1000, at least 1); against a driver without\n"
             "                 events, how often to ask for changes\n",
             {{"--interval", true}},
             1,
             1,
             RunWatch}};
}

}  // namespace tool
