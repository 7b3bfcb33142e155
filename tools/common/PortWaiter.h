// The port's events as a descriptor, so that a loop waits on the port and on its own descriptors
// (a pty, a socket) in one poll(): a thread sleeps in the port's WaitEvents and makes the
// descriptor readable whenever an event comes. An idle port wakes nobody but the library's check,
// once a second, that the driver still runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "client/Device.h"
#include "tools/common/Descriptor.h"

namespace tool {

class PortWaiter {
public:
    // Starts waiting on port, which must outlive the waiter, for the events of mask (PortEvent
    // bits). Throws std::runtime_error when the descriptor cannot be made.
    // modemGap: after a modem change, the changes of the next modemGap are not waited for, and
    // when it ends one ModemChange is reported again, so that the owner looks once more at the
    // lines. A flow-controlled line moves CTS thousands of times a second; an owner that looks
    // at the lines no more often than that gap would otherwise be woken for each change, at a
    // cost to the line itself on a busy machine.
    PortWaiter(quelta::Device& port, std::uint32_t mask,
               std::chrono::milliseconds modemGap = std::chrono::milliseconds::zero());
    ~PortWaiter();  // ends the wait and the thread
    PortWaiter(const PortWaiter&) = delete;
    PortWaiter& operator=(const PortWaiter&) = delete;

    // Readable (POLLIN) once an event has come since the last Take.
    int Descriptor() const { return ready_.Get(); }
    // The PortEvent bits that came since the last Take, and makes the descriptor quiet again.
    // Rethrows what the waiting thread met (quelta::Error NotAnswering: the driver has ended);
    // the waiter has stopped then, and the caller makes a new one once the port answers again.
    std::uint32_t Take();

private:
    void Wait();
    void Signal(std::uint32_t events);
    void Fail();  // in a handler: keeps the exception for Take

    quelta::Device& port_;
    std::uint32_t mask_;
    std::chrono::milliseconds modemGap_;
    tool::Descriptor ready_;  // an eventfd
    std::atomic<std::uint32_t> happened_{0};
    std::atomic<bool> stop_{false};
    std::mutex failureMutex_;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace tool
