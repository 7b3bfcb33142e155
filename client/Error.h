// The errors of the client library: one exception type with a code that says what went wrong, so
// that callers can react to the kind and show the message as it stands.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

namespace quelta {

enum class ErrorCode {
    NoSuchDevice = 1,  // no named objects for the device: no driver serves that name
    AccessDenied,      // the objects exist but this user may not open them
    NotAnswering,      // the driver did not reply within the time limit
    DeviceBusy,        // another client held the device for longer than the time limit
    NotOpened,       // attach asked for, but no client has opened the port since the driver started
    ConfigRefused,   // the driver (or the library, before sending) refused a line configuration
    InvalidPort,     // the driver answered status 87: the block names no port it has set up
    NotImplemented,  // the driver answered status 120: it does not know the request
    TimedOut,        // write-all or read-exactly ran out of time; partial transfer in Transferred()
    InvalidArgument,  // a malformed name, setting or size handed to the library
    ProtocolError,    // a reply that breaks the request protocol (unknown status, impossible count)
    SystemError,      // an operating system call failed for another reason
    Cancelled,        // CancelWait ended the wait; partial transfer in Transferred()
};

// The course of a request whose reply has not come within the reply limit, as a client that waits
// for late replies tells it (OpenOptions::onStall).
enum class Stall {
    Began,      // the limit has passed: the driver does not answer
    Continues,  // still no reply, the driver still there
    Ended,      // the reply came after all
};
// Returns false to stop waiting (Began, Continues): the request then ends as one that gave up.
using StallReport = std::function<bool(Stall)>;

// Short stable name of a code ("no-such-device"), for scripts and JSON.
const char* ErrorCodeName(ErrorCode code);

class Error : public std::runtime_error {
public:
    Error(ErrorCode code, const std::string& message, std::size_t transferred = 0)
        : std::runtime_error(message), code_(code), transferred_(transferred) {}

    ErrorCode Code() const { return code_; }
    // Bytes moved before a write-all or read-exactly ran out of time or was cancelled.
    std::size_t Transferred() const { return transferred_; }

private:
    ErrorCode code_;
    std::size_t transferred_;
};

// An Error of kind SystemError (or AccessDenied for EACCES/EPERM, NoSuchDevice for ENOENT)
// carrying what failed and the errno text.
[[noreturn]] void ThrowSystemError(const std::string& what, int errnoValue);

}  // namespace quelta
