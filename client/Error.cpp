#include "client/Error.h"

#include <cerrno>
#include <cstring>

namespace quelta {

const char* ErrorCodeName(ErrorCode code) {
    switch (code) {
    case ErrorCode::NoSuchDevice:
        return "no-such-device";
    case ErrorCode::AccessDenied:
        return "access-denied";
    case ErrorCode::NotAnswering:
        return "not-answering";
    case ErrorCode::DeviceBusy:
        return "device-busy";
    case ErrorCode::NotOpened:
        return "not-opened";
    case ErrorCode::ConfigRefused:
        return "config-refused";
    case ErrorCode::InvalidPort:
        return "invalid-port";
    case ErrorCode::NotImplemented:
        return "not-implemented";
    case ErrorCode::TimedOut:
        return "timed-out";
    case ErrorCode::InvalidArgument:
        return "invalid-argument";
    case ErrorCode::ProtocolError:
        return "protocol-error";
    case ErrorCode::SystemError:
        return "system-error";
    case ErrorCode::Cancelled:
        return "cancelled";
    }
    return "unknown";
}

void ThrowSystemError(const std::string& what, int errnoValue) {
    const std::string message = what + ": " + std::strerror(errnoValue);
    if (errnoValue == EACCES || errnoValue == EPERM) {
        throw Error(ErrorCode::AccessDenied, message);
    }
    if (errnoValue == ENOENT) {
        throw Error(ErrorCode::NoSuchDevice, message);
    }
    throw Error(ErrorCode::SystemError, message);
}

}  // namespace quelta
