#include "port/TransmitKick.h"

#include "hw/RegisterAccess.h"
#include "port/PortRecord.h"

// The channel raises its transmit-empty interrupt when the transmit FIFO drains to its trigger
// level, and reading IIR (which reports it) or writing THR clears it; while nothing is sent it
// never comes back by itself. An idle transmitter, or one whose interrupt was taken without a byte
// being written, would therefore wait for ever. The THR-empty enable going from off to on is the
// other edge the channel raises it on: at once when the FIFO has room, else as soon as the line has
// drained it. All four enables are written back, as SetPortConfig leaves them.
void KickTransmitter(PortRecord* port) {
    WriteReg(port->regs, IER, Ier::None);
    WriteReg(port->regs, IER, Ier::All);
}
