// The simulated machine behind the host backend, for tests, benchmarks and the backend itself.
// The driver never includes this header. The backend knows the machine; the machine knows nothing
// of the backend (sim/ includes nothing outside itself).
//
// The platform operations reach one machine: the one a test installed, or else the one
// QUELTA_SIM describes (the default machine when unset), built at the first operation that
// needs it. A bad description ends the process there with its one-line error and exit code 2:
// a driver that went on would report "no board", which hides the mistake.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/Machine.h"

namespace host {

enum class InterruptDelivery {
    Threads,  // an interrupt service thread per attached line, as on the platform
    Manual,   // attached routines run only inside DeliverInterrupts, on the caller's thread
};

// Replaces the machine (removing the one before, see RemoveMachine).
void InstallMachine(std::unique_ptr<sim::Machine> machine,
                    InterruptDelivery delivery = InterruptDelivery::Threads);
sim::Machine& CurrentMachine();
// Detaches every interrupt (its service thread ends; its handle is gone), unmaps every
// register mapping and drops the machine. Call it without holding the CPU lock.
void RemoveMachine();

// Manual delivery: runs the routines attached to every asserted line, under the CPU lock as the
// service thread would, again while the line stays asserted and the boards keep changing.
// Returns the number of service passes made.
std::uint32_t DeliverInterrupts();
// Manual time and delivery: advances the machine by `step` and delivers, until `duration`.
void RunMachine(sim::SimTime duration, sim::SimTime step);

// The process now holds a device name: the machine's pty far ends get their links (and are
// named on standard error). A process that never wins a name leaves another driver's links alone.
// Nothing happens without a machine; none is built for it.
void LinkPtysOfHeldDevices();

// For the backend's own files.
InterruptDelivery CurrentDelivery();
void DetachAllInterrupts();

}  // namespace host
