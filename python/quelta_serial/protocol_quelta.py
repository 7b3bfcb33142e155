"""pyserial's ``quelta://`` URLs: a port of a running Quelta driver.

URL format::

    quelta://DEVICE[?option=value&...]

DEVICE is a device name as the client library takes it ("Serial0" or the
full "\\RtDevice\\Quelta\\Serial0"). Options, which override the values
given to the constructor:

- baudrate=N, bytesize=5..8, parity=N|E|O|M|S, stopbits=1|1.5|2
- rtscts=0|1, xonxoff=0|1: the UART's automatic RTS/CTS, XON/XOFF
- exclusive=1: hold the device for this handle alone; every other open gets
  "busy", and so does this one while another handle has the port open
- reset=1: open with a reset (9600 8N1, rings emptied) instead of attaching
  to the port as its last user left it
- rx_trigger=1..56: the receive FIFO level at which the UART interrupts: a
  low level hands short frames to a read at once instead of after four
  characters of silence, at the cost of more interrupts. Kept until the port
  is next opened with a reset, which sets 56; left out, the port keeps the
  level it has

read, write and flush sleep in the client library until the driver reports
bytes, room or an empty line; cancel_read and cancel_write end them at once.
"""

import ctypes
import math
import urllib.parse

from serial.serialutil import (PortNotOpenError, SerialBase, SerialException,
                               SerialTimeoutException, Timeout, to_bytes)

from . import _capi

URL_FORM = ('expected a string in the form "quelta://DEVICE[?baudrate=N'
            '&bytesize=N&parity=N|E|O|M|S&stopbits=1|1.5|2&rtscts=0|1'
            '&xonxoff=0|1&exclusive=0|1&reset=0|1&rx_trigger=1..56]"')

# The C API's stop-bit codes: one and a half is a code of its own (with 5
# data bits only, the driver refuses it otherwise).
STOP_BITS_CODE = {1: 1, 1.5: 3, 2: 2}
STOP_BITS_TEXT = {"1": 1, "1.5": 1.5, "2": 2}
FLAGS = {"0": False, "1": True}

# The receive trigger levels the driver takes.
RX_TRIGGER_LEVELS = range(1, 57)
# A wait without a limit asks the library for this long (ms) at a time.
NO_LIMIT_MS = 24 * 3600 * 1000


class Serial(SerialBase):
    """A driver port through the client library, with pyserial's interface."""

    def __init__(self, *args, **kwargs):
        self._handle = None
        self._applied = None
        self._rx_trigger = None
        self._read_cancelled = False
        self._write_cancelled = False
        super().__init__(*args, **kwargs)

    def open(self):
        """Opens the device named in the URL and applies the settings."""
        if self._port is None:
            raise SerialException(
                "Port must be configured before it can be used.")
        if self.is_open:
            raise SerialException("Port is already open.")
        name, reset = self.from_url(self._port)
        lib = _capi.library()
        opener = lib.quelta_open
        if self._exclusive:
            opener = lib.quelta_open_exclusive
        mode = _capi.OPEN_RESET if reset else _capi.OPEN_ATTACH_OR_RESET
        handle = ctypes.c_void_p()
        code = opener(name.encode(), mode, 0, ctypes.byref(handle))
        if code != _capi.OK:
            raise SerialException("could not open port {}: {}".format(
                self._port, _capi.error_message(code)))
        self._handle = handle
        self._applied = None
        try:
            # The library sends the settings only when they differ from those
            # in force, and then only once what is still going out has left
            # the line: a reopen keeps the bytes an earlier handle wrote.
            self._reconfigure_port()
            # As pyserial does on a tty: the lines a handshake does not own
            # are raised, and what arrived before the open is dropped.
            if not self._dsrdtr:
                self._update_dtr_state()
            if not self._rtscts:
                self._update_rts_state()
            if self._rx_trigger is not None:
                self._call(lib.quelta_set_receive_trigger, self._rx_trigger)
            self._call(lib.quelta_flush, _capi.FLUSH_RX)
        except BaseException:
            self._release()
            raise
        self.is_open = True

    def close(self):
        """Releases the handle and sends nothing: the port keeps running in
        the driver, and what was written still goes out."""
        self.is_open = False
        self._release()

    def _release(self):
        if self._handle is not None:
            _capi.library().quelta_close(self._handle)
            self._handle = None

    def from_url(self, url):
        """Applies the URL's options; returns the device name and whether
        the open resets the port."""
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "quelta":
            raise SerialException("{}: not starting with quelta:// ({!r})"
                                  .format(URL_FORM, parts.scheme))
        if not parts.netloc or parts.path not in ("", "/"):
            raise SerialException("{}: no device name in {!r}".format(
                URL_FORM, url))
        reset = False
        try:
            for option, values in urllib.parse.parse_qs(
                    parts.query, keep_blank_values=True).items():
                value = values[-1]
                if option in ("baudrate", "bytesize"):
                    setattr(self, option, int(value))
                elif option == "parity":
                    self.parity = value.upper()
                elif option == "stopbits":
                    if value not in STOP_BITS_TEXT:
                        raise ValueError("stopbits {!r}".format(value))
                    self.stopbits = STOP_BITS_TEXT[value]
                elif option in ("rtscts", "xonxoff", "exclusive", "reset"):
                    if value not in FLAGS:
                        raise ValueError("{} {!r}".format(option, value))
                    if option == "reset":
                        reset = FLAGS[value]
                    else:
                        setattr(self, option, FLAGS[value])
                elif option == "rx_trigger":
                    if not value.isdigit() or int(value) not in RX_TRIGGER_LEVELS:
                        raise ValueError("rx_trigger {!r}".format(value))
                    self._rx_trigger = int(value)
                else:
                    raise ValueError("unknown option: {!r}".format(option))
        except ValueError as error:
            raise SerialException("{}: {}".format(URL_FORM, error)) from None
        return parts.netloc, reset

    def _call(self, function, *arguments):
        """Runs a C API call on the handle; its failure as SerialException."""
        code = function(self._handle, *arguments)
        if code != _capi.OK:
            raise SerialException(_capi.error_message(code))

    def _check_open(self):
        if not self.is_open:
            raise PortNotOpenError()

    def _line_settings(self):
        return (self._baudrate, self._bytesize, self._parity, self._stopbits,
                bool(self._xonxoff), bool(self._rtscts))

    def _reconfigure_port(self):
        """Hands the line settings to the library when they changed since
        the last accepted ones (timeouts and other local settings also come
        here); it applies them after the line has drained, and not at all
        when the port already runs with them. A refused setting is taken
        back, so the attributes keep telling what the port runs with."""
        wanted = self._line_settings()
        if wanted == self._applied:
            return
        lib = _capi.library()
        config = _capi.LineConfig()
        lib.quelta_default_line_config(ctypes.byref(config))
        config.data_bits = self._bytesize
        config.parity = self._parity.lower().encode()
        config.stop_bits = STOP_BITS_CODE[self._stopbits]
        config.software_flow = bool(self._xonxoff)
        if self._rtscts:
            config.flow_control = _capi.FLOW_AUTO_RTS | _capi.FLOW_AUTO_CTS
        try:
            # The wire's rate is 32 bits wide; ctypes would cut a larger one.
            if not 0 < self._baudrate < 2 ** 31:
                raise SerialException("Not a valid baudrate: {!r}".format(
                    self._baudrate))
            config.baud_rate = self._baudrate
            self._call(lib.quelta_configure, ctypes.byref(config))
        except SerialException:
            if self._applied is not None:
                (self._baudrate, self._bytesize, self._parity, self._stopbits,
                 self._xonxoff, self._rtscts) = self._applied
            raise
        self._applied = wanted

    @property
    def in_waiting(self):
        """Bytes in the driver's receive ring."""
        self._check_open()
        count = ctypes.c_uint32()
        self._call(_capi.library().quelta_get_rx_count, ctypes.byref(count))
        return count.value

    @property
    def out_waiting(self):
        """Bytes in the driver's transmit ring, as TIOCOUTQ counts a tty's:
        not those already in the UART's FIFO (flush() waits for those too)."""
        self._check_open()
        state = _capi.TransmitState()
        self._call(_capi.library().quelta_get_transmit_state,
                   ctypes.byref(state))
        return state.queued

    def flush(self):
        """Waits until everything written has left the line, as tcdrain:
        with no limit (a line held by flow control holds it); cancel_write
        ends it."""
        self._check_open()
        drain = _capi.library().quelta_drain
        while not self._take_cancel("_write_cancelled"):
            code = drain(self._handle, NO_LIMIT_MS)
            if code == _capi.OK:
                return
            if code not in (_capi.ERR_TIMED_OUT, _capi.ERR_CANCELLED):
                raise SerialException(_capi.error_message(code))

    def _take_cancel(self, flag):
        """Whether cancel_read or cancel_write (flag) has asked to end the
        call in progress or the next one; the request is used up. The
        library's cancel ends every wait of the handle, so a wait of the
        other direction ended by it simply waits again."""
        if not getattr(self, flag):
            return False
        setattr(self, flag, False)  # cleared only when set: a new request is kept
        return True

    def _wait(self, function, buffer, done, seconds):
        """One waiting call of the library on buffer[done:] for up to
        seconds (None: no limit); returns its code and the bytes moved."""
        milliseconds = NO_LIMIT_MS
        if seconds is not None:
            milliseconds = min(int(math.ceil(seconds * 1000)), NO_LIMIT_MS)
        count = ctypes.c_size_t()
        code = function(self._handle, ctypes.addressof(buffer) + done,
                        len(buffer) - done, milliseconds, ctypes.byref(count))
        if code not in (_capi.OK, _capi.ERR_TIMED_OUT, _capi.ERR_CANCELLED):
            raise SerialException(_capi.error_message(code))
        return code, count.value

    def read(self, size=1):
        """Up to size bytes: timeout None waits for all of them, 0 takes
        what is there, a number of seconds limits the whole read. With
        inter_byte_timeout, the read also ends once bytes have come and the
        line has then been quiet that long."""
        self._check_open()
        if size <= 0:
            return b""
        lib = _capi.library()
        buffer = ctypes.create_string_buffer(size)
        if self._timeout == 0:
            count = ctypes.c_size_t()
            self._call(lib.quelta_read, buffer, size, ctypes.byref(count))
            return buffer.raw[:count.value]
        timeout = Timeout(self._timeout)
        gap = self._inter_byte_timeout
        done = 0
        while done < size and not self._take_cancel("_read_cancelled"):
            if timeout.expired():
                break
            if gap is None:
                done += self._wait(lib.quelta_read_exact, buffer, done,
                                   timeout.time_left())[1]
                continue
            # A byte at a time is awaited: the first for as long as the
            # timeout allows, each later one for the inter-byte gap.
            left = timeout.time_left()
            if done > 0:
                left = gap if left is None else min(left, gap)
            moved = self._wait(lib.quelta_read_some, buffer, done, left)[1]
            if moved == 0 and done > 0:
                break
            done += moved
        return buffer.raw[:done]

    def write(self, data):
        """Hands all data to the driver: write_timeout None waits as long
        as it takes, 0 hands over what the ring takes now (returning the
        count), a number of seconds raises SerialTimeoutException when the
        ring stays full that long; the exception's characters_written tells
        how many bytes the driver took before, which still go out. Ended by
        cancel_write, it returns the count taken."""
        self._check_open()
        data = to_bytes(data)
        if not data:
            return 0
        lib = _capi.library()
        buffer = (ctypes.c_char * len(data)).from_buffer_copy(data)
        if self._write_timeout == 0:
            count = ctypes.c_size_t()
            self._call(lib.quelta_write, buffer, len(data),
                       ctypes.byref(count))
            return count.value
        done = 0
        while done < len(data) and not self._take_cancel("_write_cancelled"):
            code, moved = self._wait(lib.quelta_write_all, buffer, done,
                                     self._write_timeout)
            done += moved
            if code == _capi.ERR_TIMED_OUT and self._write_timeout is not None:
                error = SerialTimeoutException("Write timeout")
                error.characters_written = done
                raise error
        return done

    def cancel_read(self):
        """Ends a blocking read at once, with what it has; when none is
        in progress, the next one."""
        self._read_cancelled = True
        self._cancel_waits()

    def cancel_write(self):
        """Ends a blocking write (which returns the count taken) or flush
        at once; when none is in progress, the next one."""
        self._write_cancelled = True
        self._cancel_waits()

    def _cancel_waits(self):
        handle = self._handle
        if handle is not None:
            _capi.library().quelta_cancel_wait(handle)

    def reset_input_buffer(self):
        """Empties the receive ring and FIFO; settings and lines stay."""
        self._check_open()
        self._call(_capi.library().quelta_flush, _capi.FLUSH_RX)

    def reset_output_buffer(self):
        """Drops what is not sent yet; settings and lines stay."""
        self._check_open()
        self._call(_capi.library().quelta_flush, _capi.FLUSH_TX)

    def _update_break_state(self):
        self._call(_capi.library().quelta_set_break, int(self._break_state))

    def _update_rts_state(self):
        self._call(_capi.library().quelta_set_rts, int(bool(self._rts_state)))

    def _update_dtr_state(self):
        self._call(_capi.library().quelta_set_dtr, int(bool(self._dtr_state)))

    def _modem_status(self):
        self._check_open()
        status = _capi.ModemStatus()
        self._call(_capi.library().quelta_get_modem_status,
                   ctypes.byref(status))
        return status

    @property
    def cts(self):
        return bool(self._modem_status().cts)

    @property
    def dsr(self):
        return bool(self._modem_status().dsr)

    @property
    def ri(self):
        return bool(self._modem_status().ring)

    @property
    def cd(self):
        return bool(self._modem_status().dcd)
