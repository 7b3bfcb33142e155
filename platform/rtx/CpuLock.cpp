// The only lock of the driver: the processor's interrupt flag. A disable saves the flags as they
// were and clears IF; a restore loads exactly the saved flags, so a nested section leaves
// interrupts disabled for the one around it. The "memory" clobbers keep the compiler from moving
// memory accesses into or out of a section.
#include "platform/Rtss.h"

InterruptState DisableInterrupts() {
    InterruptState flags;
    asm volatile("pushfl\n\tpopl %0\n\tcli" : "=r"(flags) : : "memory");
    return flags;
}

void RestoreInterrupts(InterruptState state) {
    asm volatile("pushl %0\n\tpopfl" : : "r"(state) : "memory", "cc");
}
