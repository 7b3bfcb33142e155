#include "tools/common/Interrupt.h"

#include <signal.h>
#include <time.h>

#include <cstdio>

#include "tools/common/Commands.h"

namespace tool {
namespace {

volatile sig_atomic_t interruptSignal = 0;

void NoteInterrupt(int signal) { interruptSignal = signal; }

}  // namespace

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR and the loop looks
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool Interrupted() { return interruptSignal != 0; }

void Nap(std::chrono::microseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const timespec pause{static_cast<time_t>(seconds.count()),
                         static_cast<long>((duration - seconds).count() * 1000)};
    nanosleep(&pause, nullptr);  // cut short by a signal: the caller's loop looks at the flag
}

int ReportInterrupted(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "quelta: interrupted: %s\n", what.c_str());
    return ExitInterrupted;
}

}  // namespace tool
