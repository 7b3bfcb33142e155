// Ctrl-C (SIGINT) and SIGTERM for the commands that wait on the line: the handler only sets a
// flag, which every waiting loop checks, so a command stops within one poll interval, says how
// far it got and exits with ExitInterrupted. The handler is installed without SA_RESTART, so a
// sleep or poll in progress ends early instead of finishing first.
#pragma once

#include <chrono>
#include <string>

namespace tool {

// SIGINT, SIGTERM and SIGHUP set the flag from now on instead of ending the process.
void CatchInterrupts();
bool Interrupted();
// Sleeps, ending early when a signal arrives (the handler has no SA_RESTART).
void Nap(std::chrono::microseconds duration);

// Prints "quelta: interrupted: WHAT" on standard error (after what standard output holds) and
// returns ExitInterrupted.
int ReportInterrupted(const std::string& what);

}  // namespace tool
