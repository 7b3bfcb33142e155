// The one way the driver gets the transmitter going: the request side after queueing bytes or
// ending a break, the transmit service when it found no room.
#pragma once

struct PortRecord;

// Writes IER off, then the enables the port wants on, so that the channel raises a fresh
// transmit-empty interrupt and the transmit service runs for whatever txRing holds.
void KickTransmitter(PortRecord* port);
