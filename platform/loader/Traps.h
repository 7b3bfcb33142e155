// What the image's own instructions do that a user-mode process cannot, done for it when the
// processor refuses: the general fall-back behind the redirected calls of Routines.h.
//
// - cli and sti fault. The cli of a recognised DisableInterrupts routine disables through the
//   host and leaves the host's state as the routine's result; any other cli opens a section of
//   its own that the next sti closes.
// - The first byte of a recognised RestoreInterrupts routine is a breakpoint: the trap restores
//   the state given as the routine's argument through the host, and returns to its caller.
// - A byte load or store into the register range faults (the range is never accessible): the
//   trap decodes the move (mov to or from an 8-bit register, movzx, movsx, mov of an immediate,
//   with any 32-bit addressing form), makes the access through the host's register device and
//   resumes after the instruction.
//
// Anything else that faults in an image, or outside one, ends the process with a line naming
// the instruction's address in the image and the signal's own default action.
#pragma once

namespace loader {

class LoadedImage;

// Installs the handlers of SIGSEGV and SIGTRAP, once, before any image code runs.
void InstallTraps();

// The images whose instructions the traps act for (LoadedImage registers itself); false when
// too many are loaded at once.
bool RegisterImage(const LoadedImage* image);
void UnregisterImage(const LoadedImage* image);

}  // namespace loader
