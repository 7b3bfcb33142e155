// Ctrl-C (SIGINT) and SIGTERM for the commands that wait on the line: the handler only sets a
// flag, which every waiting loop checks, so a command stops at once, says how far it got and exits
// with ExitInterrupted. The handler is installed without SA_RESTART, so a sleep or poll in
// progress ends early instead of finishing first. A wait of the client library goes on through a
// signal, so the commands also hand their devices to a CancelOnInterrupt while they wait.
#pragma once

#include <signal.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "client/Device.h"

namespace tool {

// SIGINT, SIGTERM and SIGHUP set the flag from now on instead of ending the process.
void CatchInterrupts();
bool Interrupted();
// Sleeps, ending early when a signal arrives (the handler has no SA_RESTART).
void Nap(std::chrono::microseconds duration);

// Prints "quelta: interrupted: WHAT" on standard error (after what standard output holds) and
// returns ExitInterrupted.
int ReportInterrupted(const std::string& what);

// The time-out of a wait that only Ctrl-C (or the driver's end) is meant to end.
constexpr std::chrono::milliseconds UntilInterrupted = std::chrono::hours(24 * 365);

// While one lives, an interrupt (after CatchInterrupts) ends the waits of its devices as their
// time-out would: a thread of the tool's own, woken by the handler, calls their CancelWait, which a
// signal handler may not. An interrupt that came before it was made cancels at once, so a wait
// that starts after a look at Interrupted() cannot miss one. The devices must outlive it.
class CancelOnInterrupt {
public:
    explicit CancelOnInterrupt(std::initializer_list<quelta::Device*> ports);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

private:
    std::vector<quelta::Device*> ports_;
};

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread while it lives: a thread started
// meanwhile inherits the mask, so the signals go to the main thread, whose sleeps and polls they
// end.
class InterruptsBlocked {
public:
    InterruptsBlocked();
    ~InterruptsBlocked();
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

private:
    sigset_t saved_{};
};

}  // namespace tool
