// One request at a time per port, whichever device it came through.
//
// A port's requests normally arrive through its own device, whose service thread serves them one
// by one; but every request other than SerialOpen acts on the port its block's portIndex names, so
// a client of one device can reach another port from that device's service thread. The request
// side of a port (the ring index each operation moves, the count it adds to or takes from, the
// register sequences of open, close and configuration) is built for one request at a time, so the
// dispatch holds the port's lock around each operation. On the single-processor target a service
// thread is not preempted by another one inside a request, and the lock is never found taken.
#pragma once

#include <cstdint>

// portIndex must be below MaxPorts. Waits while another request thread holds the port.
void LockPortRequests(std::uint8_t portIndex);
void UnlockPortRequests(std::uint8_t portIndex);
