// What the Linux host backend offers beyond the platform operations for the process: its start and
// orderly end, the CPU lock's interrupt context, and recorded priorities. The driver never
// includes this header; the register devices and fault injection have headers of their own.
#pragma once

#include <cstdint>
#include <functional>

namespace host {

// Process start on the host: takes the host settings (TakeHostSettings), blocks the ending signals
// in every thread and starts the thread that ends the process in order on SIGINT, SIGTERM or
// SIGHUP.
void StartProcess();

// Checks RTSS_NAMESPACE, RTSS_OBJECT_MODE and RTSS_REALTIME and arms RTSS_FAULTS
// ("attach:1,thread:3": the n-th call of that operation fails). A setting that cannot be used
// ends the process with a one-line "VARIABLE: reason" on standard error and exit code 2.
void TakeHostSettings();

// Work done before the process ends in order (ExitProcess, an ending signal, a normal exit):
// removing the named objects this process created.
void AtProcessEnd(std::function<void()> work);
void RunProcessEndWork();

// The interrupt service thread runs the service routine holding the CPU lock, as the single
// processor would: no request thread is inside a disabled section meanwhile.
void EnterInterruptContext();
void LeaveInterruptContext();
bool InterruptsDisabledOnThisThread();
// Ends the process with "interrupt sections unbalanced: <where> with N interrupt section(s) left
// open" when the calling thread has disabled interrupts without restoring them. The backend calls
// it where the target would freeze: after each interrupt routine, and in the waits, sleeps,
// releases and the suspension that end a request or set-up.
void RequireNoOpenSection(const char* where);

// Real-time priority recorded for a thread handle by RtSetThreadPriority (-1 if never set).
std::int32_t RecordedPriority(void* threadHandle);

}  // namespace host
