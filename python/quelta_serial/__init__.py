"""pyserial URL handler for the ports of a running Quelta driver.

pyserial looks for ``protocol_quelta`` in this package once it is on the
handler list::

    import serial
    serial.protocol_handler_packages.append("quelta_serial")
    port = serial.serial_for_url("quelta://Serial0?baudrate=115200")

The handler calls the client library's C API (libquelta_client.so) through
ctypes; ``_capi`` says where it looks for the library.
"""
