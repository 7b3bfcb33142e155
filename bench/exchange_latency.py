"""The pyserial side of bench_exchange_latency: an 8-byte frame written to
one port, read whole on the other and written back, read whole again; the
time of each exchange in microseconds on standard output, one a line.

Usage: exchange_latency.py FIRST SECOND BAUD COUNT, FIRST and SECOND being
anything serial_for_url opens (a quelta:// or rfc2217:// URL, a pty path).
"""

import sys
import time

import serial

WARM_UP = 20  # exchanges left out: the first ones settle every party's mode
TIMEOUT = 5   # seconds: a frame that takes longer is lost, and the run fails


def main():
    first, second, baud, count = sys.argv[1:5]
    serial.protocol_handler_packages.append("quelta_serial")
    a = serial.serial_for_url(first, baudrate=int(baud), timeout=TIMEOUT)
    b = serial.serial_for_url(second, baudrate=int(baud), timeout=TIMEOUT)
    a.reset_input_buffer()
    b.reset_input_buffer()
    times = []
    for n in range(WARM_UP + int(count)):
        frame = bytes((n + i) & 0xFF for i in range(8))
        start = time.perf_counter_ns()
        a.write(frame)
        echo = b.read(8)
        b.write(echo)
        back = a.read(8)
        elapsed = time.perf_counter_ns() - start
        if back != frame:
            sys.exit("exchange %d: sent %r, came back %r" % (n, frame, back))
        if n >= WARM_UP:
            times.append(elapsed / 1000.0)
    a.close()
    b.close()
    print("\n".join("%.1f" % t for t in times))


if __name__ == "__main__":
    main()
