"""pyserial URL handler for the ports of a running Quelta driver.

One call makes pyserial open ``quelta://`` URLs::

    import serial
    import quelta_serial

    quelta_serial.register()
    port = serial.serial_for_url("quelta://Serial0?baudrate=115200")

(``register`` puts this package on pyserial's handler list, where pyserial
finds ``protocol_quelta`` in it.) The handler calls the client library's C
API (libquelta_client.so.MAJOR) through ctypes; ``_capi`` says where it looks
for the library, and ``library_version()`` which version it loaded.
"""

# The project's version, that of the client library this package was made
# with; the library it loads must have the same major number.
__version__ = "1.0.0"


def register():
    """Lets serial.serial_for_url open quelta:// URLs; calling it again
    changes nothing."""
    import serial

    if __name__ not in serial.protocol_handler_packages:
        serial.protocol_handler_packages.append(__name__)


def library_version():
    """The version of the client library loaded (OSError if none loads)."""
    from . import _capi

    return _capi.library().quelta_version().decode()
