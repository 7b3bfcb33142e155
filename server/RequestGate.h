// Requests that arrive while board set-up is still running would meet a port without its clock
// (every configuration refused), with interrupt enables that set-up is about to clear (a transmit
// kick undone, bytes left in the ring) and no interrupt attached. Set-up holds them here until it
// has finished; outside set-up the gate stands open.
#pragma once

void HoldRequests();
void ReleaseRequests();
// Returns at once while the gate is open; otherwise waits until set-up releases it.
void WaitForRequestGate();
