// The C API: each function runs the C++ operation and turns an exception into its error code,
// keeping the message for quelta_last_error_message.
#include <new>
#include <string>

#include "client/Device.h"
#include "client/quelta_client.h"
#include "wire/ExtensionRecords.h"

struct quelta_device {
    quelta::Device device;
};

// The C names of the wire record's flow-control bits.
static_assert(QUELTA_FLOW_AUTO_RTS == FlowControl::AutoRts &&
              QUELTA_FLOW_AUTO_CTS == FlowControl::AutoCts &&
              QUELTA_FLOW_AUTO_RTS_WITH_DTR == FlowControl::AutoRtsWithOut1 &&
              QUELTA_FLOW_AUTO_CTS_WITH_DTR == FlowControl::AutoCtsWithOut1);
static_assert(QUELTA_FLUSH_RX == Flush::Receive && QUELTA_FLUSH_TX == Flush::Transmit &&
              QUELTA_FLUSH_BOTH == Flush::Both);
static_assert(QUELTA_EVENT_RECEIVED == PortEvent::Received &&
              QUELTA_EVENT_TX_EMPTY == PortEvent::TransmitRingEmpty &&
              QUELTA_EVENT_TX_ROOM == PortEvent::TransmitRoom &&
              QUELTA_EVENT_MODEM_CHANGE == PortEvent::ModemChange &&
              QUELTA_EVENT_LINE_ERROR == PortEvent::LineError &&
              QUELTA_EVENT_CANCELLED == PortEvent::Cancelled);
static_assert(QUELTA_MODEM_CTS == quelta::ModemLine::Cts &&
              QUELTA_MODEM_DSR == quelta::ModemLine::Dsr &&
              QUELTA_MODEM_RI == quelta::ModemLine::Ri &&
              QUELTA_MODEM_DCD == quelta::ModemLine::Dcd);

namespace {

thread_local std::string lastErrorMessage;

int ToCode(quelta::ErrorCode code) {
    switch (code) {
    case quelta::ErrorCode::NoSuchDevice:
        return QUELTA_ERR_NO_SUCH_DEVICE;
    case quelta::ErrorCode::AccessDenied:
        return QUELTA_ERR_ACCESS_DENIED;
    case quelta::ErrorCode::NotAnswering:
        return QUELTA_ERR_NOT_ANSWERING;
    case quelta::ErrorCode::DeviceBusy:
        return QUELTA_ERR_DEVICE_BUSY;
    case quelta::ErrorCode::NotOpened:
        return QUELTA_ERR_NOT_OPENED;
    case quelta::ErrorCode::ConfigRefused:
        return QUELTA_ERR_CONFIG_REFUSED;
    case quelta::ErrorCode::InvalidPort:
        return QUELTA_ERR_INVALID_PORT;
    case quelta::ErrorCode::NotImplemented:
        return QUELTA_ERR_NOT_IMPLEMENTED;
    case quelta::ErrorCode::TimedOut:
        return QUELTA_ERR_TIMED_OUT;
    case quelta::ErrorCode::InvalidArgument:
        return QUELTA_ERR_INVALID_ARGUMENT;
    case quelta::ErrorCode::ProtocolError:
        return QUELTA_ERR_PROTOCOL;
    case quelta::ErrorCode::SystemError:
        return QUELTA_ERR_SYSTEM;
    case quelta::ErrorCode::Cancelled:
        return QUELTA_ERR_CANCELLED;
    }
    return QUELTA_ERR_SYSTEM;
}

int Fail(int code, const char* message) {
    lastErrorMessage = message;
    return code;
}

// Runs the operation; exceptions never cross into C.
template <typename Operation>
int Guarded(Operation&& operation) {
    try {
        operation();
        lastErrorMessage.clear();
        return QUELTA_OK;
    } catch (const quelta::Error& error) {
        return Fail(ToCode(error.Code()), error.what());
    } catch (const std::bad_alloc&) {
        return Fail(QUELTA_ERR_SYSTEM, "out of memory");
    } catch (const std::exception& error) {
        return Fail(QUELTA_ERR_SYSTEM, error.what());
    }
}

// Operations on a device need a handle and, for their outputs, somewhere to put them.
template <typename Operation>
int OnDevice(quelta_device* device, const void* output, Operation&& operation) {
    if (device == nullptr || output == nullptr) {
        return Fail(QUELTA_ERR_INVALID_ARGUMENT, "null device or output pointer");
    }
    return Guarded([&] { operation(device->device); });
}

std::span<std::uint8_t> Bytes(void* buffer, size_t size) {
    return {static_cast<std::uint8_t*>(buffer), size};
}

std::span<const std::uint8_t> Bytes(const void* data, size_t size) {
    return {static_cast<const std::uint8_t*>(data), size};
}

std::chrono::milliseconds Milliseconds(uint32_t value) { return std::chrono::milliseconds(value); }

// Runs a write-all or read-exact and reports the bytes moved also when the time ran out.
template <typename Operation>
int Transfer(quelta_device* device, const void* buffer, size_t size, size_t* count,
             Operation&& operation) {
    if (count != nullptr) *count = 0;
    if (buffer == nullptr && size != 0) {
        return Fail(QUELTA_ERR_INVALID_ARGUMENT, "null buffer");
    }
    return OnDevice(device, device, [&](quelta::Device& port) {
        try {
            operation(port);
            if (count != nullptr) *count = size;
        } catch (const quelta::Error& error) {
            if (count != nullptr) *count = error.Transferred();
            throw;
        }
    });
}

int OpenDevice(const char* name, quelta_open_mode mode, uint32_t reply_timeout_ms, bool exclusive,
               quelta_device** device) {
    if (name == nullptr || device == nullptr) {
        return Fail(QUELTA_ERR_INVALID_ARGUMENT, "null name or device pointer");
    }
    *device = nullptr;
    quelta::OpenOptions options;
    switch (mode) {
    case QUELTA_OPEN_RESET:
        options.mode = quelta::OpenMode::Reset;
        break;
    case QUELTA_OPEN_ATTACH:
        options.mode = quelta::OpenMode::Attach;
        break;
    case QUELTA_OPEN_ATTACH_OR_RESET:
        options.mode = quelta::OpenMode::AttachOrReset;
        break;
    default:
        return Fail(QUELTA_ERR_INVALID_ARGUMENT, "unknown open mode");
    }
    if (reply_timeout_ms != 0) {
        options.replyTimeout = Milliseconds(reply_timeout_ms);
    }
    options.exclusive = exclusive;
    return Guarded([&] { *device = new quelta_device{quelta::Device(name, options)}; });
}

quelta_line_config ToC(const quelta::LineSettings& s) {
    return quelta_line_config{s.baudRate, s.dataBits, s.parity,      s.stopBits, s.softwareFlow,
                              s.xonChar,  s.xoffChar, s.flowControl, s.lineMode};
}

quelta_modem_status ToC(const quelta::ModemStatus& s) {
    return quelta_modem_status{s.raw, s.ctsChanged, s.dsrChanged, s.ringEnded, s.dcdChanged,
                               s.cts, s.dsr,        s.ring,       s.dcd};
}

quelta_line_errors ToC(const quelta::LineErrors& e) {
    return quelta_line_errors{e.raw,          e.overrun,       e.parityError,
                              e.framingError, e.breakReceived, e.fifoError};
}

int ConfigureDevice(quelta_device* device, const quelta_line_config* config, quelta::Apply when) {
    return OnDevice(device, config, [&](quelta::Device& port) {
        quelta::LineSettings settings;
        settings.baudRate = config->baud_rate;
        settings.dataBits = config->data_bits;
        settings.parity = config->parity;
        settings.stopBits = config->stop_bits;
        settings.softwareFlow = config->software_flow != 0;
        settings.xonChar = config->xon_char;
        settings.xoffChar = config->xoff_char;
        settings.flowControl = config->flow_control;
        settings.lineMode = config->line_mode;
        port.Configure(settings, when);
    });
}

}  // namespace

extern "C" {

int quelta_open(const char* name, quelta_open_mode mode, uint32_t reply_timeout_ms,
                quelta_device** device) {
    return OpenDevice(name, mode, reply_timeout_ms, false, device);
}

int quelta_open_exclusive(const char* name, quelta_open_mode mode, uint32_t reply_timeout_ms,
                          quelta_device** device) {
    return OpenDevice(name, mode, reply_timeout_ms, true, device);
}

void quelta_close(quelta_device* device) { delete device; }

const char* quelta_device_name(const quelta_device* device) {
    return device != nullptr ? device->device.Name().c_str() : "";
}

uint8_t quelta_port_index(const quelta_device* device) {
    return device != nullptr ? device->device.PortIndex() : 0;
}

int quelta_read(quelta_device* device, void* buffer, size_t size, size_t* count) {
    return OnDevice(device, count, [&](quelta::Device& port) {
        *count = 0;
        if (buffer == nullptr && size != 0) {
            throw quelta::Error(quelta::ErrorCode::InvalidArgument, "null buffer");
        }
        *count = port.Read(Bytes(buffer, size));
    });
}

int quelta_write(quelta_device* device, const void* data, size_t size, size_t* count) {
    return OnDevice(device, count, [&](quelta::Device& port) {
        *count = 0;
        if (data == nullptr && size != 0) {
            throw quelta::Error(quelta::ErrorCode::InvalidArgument, "null data");
        }
        *count = port.Write(Bytes(data, size));
    });
}

int quelta_read_some(quelta_device* device, void* buffer, size_t size, uint32_t timeout_ms,
                     size_t* count) {
    return OnDevice(device, count, [&](quelta::Device& port) {
        *count = 0;
        if (buffer == nullptr && size != 0) {
            throw quelta::Error(quelta::ErrorCode::InvalidArgument, "null buffer");
        }
        *count = port.ReadSome(Bytes(buffer, size), Milliseconds(timeout_ms));
    });
}

int quelta_read_exact(quelta_device* device, void* buffer, size_t size, uint32_t timeout_ms,
                      size_t* count) {
    return Transfer(device, buffer, size, count, [&](quelta::Device& port) {
        port.ReadExact(Bytes(buffer, size), Milliseconds(timeout_ms));
    });
}

int quelta_write_all(quelta_device* device, const void* data, size_t size, uint32_t timeout_ms,
                     size_t* count) {
    return Transfer(device, data, size, count, [&](quelta::Device& port) {
        port.WriteAll(Bytes(data, size), Milliseconds(timeout_ms));
    });
}

void quelta_default_line_config(quelta_line_config* config) {
    if (config == nullptr) return;
    *config = ToC(quelta::LineSettings{});
}

int quelta_configure(quelta_device* device, const quelta_line_config* config) {
    return ConfigureDevice(device, config, quelta::Apply::AfterDrain);
}

int quelta_configure_now(quelta_device* device, const quelta_line_config* config) {
    return ConfigureDevice(device, config, quelta::Apply::Now);
}

int quelta_set_dtr(quelta_device* device, int on) {
    return OnDevice(device, device, [&](quelta::Device& port) { port.SetDtr(on != 0); });
}

int quelta_set_rts(quelta_device* device, int on) {
    return OnDevice(device, device, [&](quelta::Device& port) { port.SetRts(on != 0); });
}

int quelta_set_break(quelta_device* device, int on) {
    return OnDevice(device, device, [&](quelta::Device& port) { port.SetBreak(on != 0); });
}

int quelta_close_port(quelta_device* device) {
    return OnDevice(device, device, [&](quelta::Device& port) { port.ClosePort(); });
}

int quelta_get_modem_status(quelta_device* device, quelta_modem_status* status) {
    return OnDevice(device, status,
                    [&](quelta::Device& port) { *status = ToC(port.GetModemStatus()); });
}

int quelta_get_line_status(quelta_device* device, quelta_line_status* status) {
    return OnDevice(device, status, [&](quelta::Device& port) {
        const quelta::LineStatus s = port.GetLineStatus();
        *status = quelta_line_status{s.raw,          s.dataReady,        s.overrun,
                                     s.parityError,  s.framingError,     s.breakReceived,
                                     s.holdingEmpty, s.transmitterEmpty, s.fifoError};
    });
}

int quelta_get_modem_control(quelta_device* device, quelta_modem_control* control) {
    return OnDevice(device, control, [&](quelta::Device& port) {
        const quelta::ModemControl c = port.GetModemControl();
        *control = quelta_modem_control{c.raw, c.dtr, c.rts};
    });
}

int quelta_get_line_errors(quelta_device* device, quelta_line_errors* errors) {
    return OnDevice(device, errors,
                    [&](quelta::Device& port) { *errors = ToC(port.GetLineErrors()); });
}

int quelta_get_rx_count(quelta_device* device, uint32_t* count) {
    return OnDevice(device, count, [&](quelta::Device& port) { *count = port.GetRxCount(); });
}

int quelta_get_settings(quelta_device* device, quelta_port_settings* settings) {
    return OnDevice(device, settings, [&](quelta::Device& port) {
        const quelta::PortSettings s = port.GetSettings();
        *settings = quelta_port_settings{s.opened,  ToC(s.settings), s.actualBaud,
                                         s.clockHz, s.divisor,       s.receiveTrigger};
    });
}

int quelta_get_error_counts(quelta_device* device, quelta_error_counts* counts) {
    return OnDevice(device, counts, [&](quelta::Device& port) {
        const quelta::ErrorCounts c = port.GetErrorCounts();
        *counts = quelta_error_counts{c.overruns, c.parityErrors, c.framingErrors, c.breaks,
                                      c.ringOverruns};
    });
}

int quelta_get_transmit_state(quelta_device* device, quelta_transmit_state* state) {
    return OnDevice(device, state, [&](quelta::Device& port) {
        const quelta::TransmitState s = port.GetTransmitState();
        *state = quelta_transmit_state{s.queued, s.transmitterEmpty};
    });
}

int quelta_drain(quelta_device* device, uint32_t timeout_ms) {
    return OnDevice(device, device,
                    [&](quelta::Device& port) { port.Drain(Milliseconds(timeout_ms)); });
}

int quelta_flush(quelta_device* device, int which) {
    if (which < QUELTA_FLUSH_RX || which > QUELTA_FLUSH_BOTH) {
        return Fail(QUELTA_ERR_INVALID_ARGUMENT, "flush: which must be 1 (rx), 2 (tx) or 3 (both)");
    }
    return OnDevice(device, device, [&](quelta::Device& port) {
        port.Flush(static_cast<quelta::FlushSide>(which));
    });
}

int quelta_set_receive_trigger(quelta_device* device, uint8_t level) {
    return OnDevice(device, device, [&](quelta::Device& port) { port.SetReceiveTrigger(level); });
}

int quelta_wait_modem_change(quelta_device* device, uint8_t lines, uint32_t timeout_ms,
                             quelta_modem_status* status) {
    return OnDevice(device, status, [&](quelta::Device& port) {
        const auto changed = port.WaitModemChange(lines, Milliseconds(timeout_ms));
        if (!changed) {
            throw quelta::Error(quelta::ErrorCode::TimedOut,
                                port.Name() + ": no modem line changed in time");
        }
        *status = ToC(*changed);
    });
}

int quelta_wait_events(quelta_device* device, uint32_t mask, uint32_t timeout_ms,
                       quelta_events* events) {
    return OnDevice(device, events, [&](quelta::Device& port) {
        const quelta::EventReport report = port.WaitEvents(mask, Milliseconds(timeout_ms));
        *events = quelta_events{report.happened, ToC(report.modem), ToC(report.lineErrors)};
    });
}

int quelta_cancel_wait(quelta_device* device) {
    return OnDevice(device, device, [&](quelta::Device& port) { port.CancelWait(); });
}

int quelta_has_events(const quelta_device* device) {
    return device != nullptr && device->device.HasEvents() ? 1 : 0;
}

const char* quelta_error_string(int error) {
    switch (error) {
    case QUELTA_OK:
        return "no error";
    case QUELTA_ERR_NO_SUCH_DEVICE:
        return "no such device";
    case QUELTA_ERR_ACCESS_DENIED:
        return "access denied";
    case QUELTA_ERR_NOT_ANSWERING:
        return "driver not answering";
    case QUELTA_ERR_DEVICE_BUSY:
        return "device busy";
    case QUELTA_ERR_NOT_OPENED:
        return "port not opened since the driver started";
    case QUELTA_ERR_CONFIG_REFUSED:
        return "configuration refused";
    case QUELTA_ERR_INVALID_PORT:
        return "invalid port";
    case QUELTA_ERR_NOT_IMPLEMENTED:
        return "request not implemented";
    case QUELTA_ERR_TIMED_OUT:
        return "timed out";
    case QUELTA_ERR_INVALID_ARGUMENT:
        return "invalid argument";
    case QUELTA_ERR_PROTOCOL:
        return "protocol error";
    case QUELTA_ERR_SYSTEM:
        return "system error";
    case QUELTA_ERR_CANCELLED:
        return "cancelled";
    default:
        return "unknown error";
    }
}

const char* quelta_last_error_message(void) { return lastErrorMessage.c_str(); }

const char* quelta_version(void) { return QUELTA_VERSION; }

}  // extern "C"
