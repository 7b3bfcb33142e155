#include "port/TransmitKick.h"

#include "hw/RegisterAccess.h"
#include "platform/Rtss.h"
#include "port/PortRecord.h"
#include "port/ReceiveHold.h"

// The channel raises its transmit-empty interrupt when the transmit FIFO drains to its trigger
// level, and reading IIR (which reports it) or writing THR clears it; while nothing is sent it
// never comes back by itself. An idle transmitter, or one whose interrupt was taken without a byte
// being written, would therefore wait for ever. The THR-empty enable going from off to on is the
// other edge the channel raises it on: at once when the FIFO has room, else as soon as the line has
// drained it. The enables written back are those the port wants, so a kick never unmasks a held
// receiver; the choice and the writes form one section, or the receive service could set a hold
// between them that the second write would undo. The state found is restored: the callers in a
// section of their own (ClearBreak, the interrupt service) stay in it.
void KickTransmitter(PortRecord* port) {
    const InterruptState state = DisableInterrupts();
    WriteReg(port->regs, IER, Ier::None);
    WriteReg(port->regs, IER, WantedEnables(port));
    RestoreInterrupts(state);
}
