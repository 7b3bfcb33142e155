"""ctypes bindings of the client library's C API (client/quelta_client.h).

Only what the pyserial handler uses is declared. The library is loaded on
first use, so importing the package works without it.
"""

import ctypes
import os

from . import __version__

OK = 0
ERR_TIMED_OUT = -9
ERR_CANCELLED = -13

OPEN_RESET = 0
OPEN_ATTACH_OR_RESET = 2

FLOW_AUTO_RTS = 0x01
FLOW_AUTO_CTS = 0x02

FLUSH_RX = 1
FLUSH_TX = 2

LIBRARY_VARIABLE = "QUELTA_CLIENT_LIBRARY"
# The library's SONAME: the major version of this package, whose interface
# is declared here.
LIBRARY_MAJOR = int(__version__.split(".")[0])
LIBRARY_FILE = "libquelta_client.so.{}".format(LIBRARY_MAJOR)
# The source tree's usual build folders, relative to its root (python/..).
BUILD_FOLDERS = ("build/run/client", "build/normal/client")


class LineConfig(ctypes.Structure):
    _fields_ = [
        ("baud_rate", ctypes.c_int32),
        ("data_bits", ctypes.c_uint8),
        ("parity", ctypes.c_char),
        ("stop_bits", ctypes.c_uint8),
        ("software_flow", ctypes.c_uint8),
        ("xon_char", ctypes.c_uint8),
        ("xoff_char", ctypes.c_uint8),
        ("flow_control", ctypes.c_uint8),
        ("line_mode", ctypes.c_uint8),
    ]


class TransmitState(ctypes.Structure):
    _fields_ = [("queued", ctypes.c_uint32),
                ("transmitter_empty", ctypes.c_uint8)]


class ModemStatus(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint8) for name in (
        "raw", "cts_changed", "dsr_changed", "ring_ended", "dcd_changed",
        "cts", "dsr", "ring", "dcd")]


_DEVICE = ctypes.c_void_p
_SIZE_OUT = ctypes.POINTER(ctypes.c_size_t)
_PROTOTYPES = {
    "quelta_open": (ctypes.c_char_p, ctypes.c_int, ctypes.c_uint32,
                    ctypes.POINTER(_DEVICE)),
    "quelta_open_exclusive": (ctypes.c_char_p, ctypes.c_int, ctypes.c_uint32,
                              ctypes.POINTER(_DEVICE)),
    "quelta_close": (_DEVICE,),
    "quelta_read": (_DEVICE, ctypes.c_void_p, ctypes.c_size_t, _SIZE_OUT),
    "quelta_write": (_DEVICE, ctypes.c_void_p, ctypes.c_size_t, _SIZE_OUT),
    "quelta_read_some": (_DEVICE, ctypes.c_void_p, ctypes.c_size_t,
                         ctypes.c_uint32, _SIZE_OUT),
    "quelta_read_exact": (_DEVICE, ctypes.c_void_p, ctypes.c_size_t,
                          ctypes.c_uint32, _SIZE_OUT),
    "quelta_write_all": (_DEVICE, ctypes.c_void_p, ctypes.c_size_t,
                         ctypes.c_uint32, _SIZE_OUT),
    "quelta_default_line_config": (ctypes.POINTER(LineConfig),),
    "quelta_configure": (_DEVICE, ctypes.POINTER(LineConfig)),
    "quelta_set_dtr": (_DEVICE, ctypes.c_int),
    "quelta_set_rts": (_DEVICE, ctypes.c_int),
    "quelta_set_break": (_DEVICE, ctypes.c_int),
    "quelta_get_modem_status": (_DEVICE, ctypes.POINTER(ModemStatus)),
    "quelta_get_rx_count": (_DEVICE, ctypes.POINTER(ctypes.c_uint32)),
    "quelta_flush": (_DEVICE, ctypes.c_int),
    "quelta_get_transmit_state": (_DEVICE, ctypes.POINTER(TransmitState)),
    "quelta_drain": (_DEVICE, ctypes.c_uint32),
    "quelta_set_receive_trigger": (_DEVICE, ctypes.c_uint8),
    "quelta_cancel_wait": (_DEVICE,),
    "quelta_error_string": (ctypes.c_int,),
    "quelta_last_error_message": (),
    "quelta_version": (),
}
_RESULTS = {
    "quelta_close": None,
    "quelta_default_line_config": None,
    "quelta_error_string": ctypes.c_char_p,
    "quelta_last_error_message": ctypes.c_char_p,
    "quelta_version": ctypes.c_char_p,
}

_library = None


def _candidates():
    """Where the library may be, in the order tried: (what, path) pairs.
    QUELTA_CLIENT_LIBRARY, when set, is the only one; else the build folders
    of the source tree this package sits in, if it does, then the system's
    library search (LD_LIBRARY_PATH, ld.so.conf, /usr/lib...)."""
    path = os.environ.get(LIBRARY_VARIABLE)
    if path:
        return [(LIBRARY_VARIABLE, path)]
    root = os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))
    candidates = []
    if os.path.isfile(os.path.join(root, "client", "quelta_client.h")):
        candidates = [("the build tree",
                       os.path.join(root, folder, LIBRARY_FILE))
                      for folder in BUILD_FOLDERS]
    return candidates + [("the system's library search", LIBRARY_FILE)]


def _load():
    """The first library of the candidates that loads; OSError naming every
    one tried when none does."""
    tried = []
    for what, path in _candidates():
        if what == "the build tree" and not os.path.exists(path):
            tried.append("{} {}: not built".format(what, path))
            continue
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append("{}: {}".format(what, error))
    raise OSError("cannot load the Quelta client library {}; tried {}. "
                  "Install it, or set {} to its path".format(
                      LIBRARY_FILE, "; ".join(tried), LIBRARY_VARIABLE))


def library():
    """The loaded library with its prototypes declared; OSError if none."""
    global _library
    if _library is None:
        loaded = _load()
        for name, arguments in _PROTOTYPES.items():
            function = getattr(loaded, name)
            function.argtypes = arguments
            function.restype = _RESULTS.get(name, ctypes.c_int)
        version = loaded.quelta_version().decode()
        if version.split(".")[0] != str(LIBRARY_MAJOR):
            raise OSError("the Quelta client library {} is version {}; this "
                          "package needs {}.x".format(
                              loaded._name, version, LIBRARY_MAJOR))
        _library = loaded
    return _library


def error_message(code):
    """Why the last call on this thread failed, else the code's text."""
    lib = library()
    message = lib.quelta_last_error_message() or lib.quelta_error_string(code)
    return message.decode(errors="replace")
