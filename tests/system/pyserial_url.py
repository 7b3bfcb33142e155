# A pyserial program on the null-modem pairs Serial0-Serial1 and
# Serial2-Serial3 of a running driver through quelta:// URLs. Prints a line
# per check; exits 1 on a miss.
import os
import random
import sys
import threading
import time

import serial

serial.protocol_handler_packages.append("quelta_serial")
URL = "quelta://Serial{}?baudrate=921600&rtscts=1"
misses = []
passed = []


def check(ok, what):
    print(("ok   " if ok else "MISS ") + what)
    (passed if ok else misses).append(what)


def raises(action, error=serial.SerialException):
    try:
        action()
    except error as caught:
        return str(caught)
    return None


def settle(condition):
    # Lets bytes and line changes cross; what was awaited is checked after.
    for _ in range(200):
        if condition():
            return
        time.sleep(0.01)


a = serial.serial_for_url(URL.format(0), timeout=30, write_timeout=30)
b = serial.serial_for_url(URL.format(1), timeout=30, write_timeout=30)

# Both ways at once, many times around the rings, every byte in order.
size = 256 * 1024
sent = {a: random.Random(0).randbytes(size),
        b: random.Random(1).randbytes(size)}
got = {}


def send(port):
    port.write(sent[port])


def receive(port):
    got[port] = port.read(size)


threads = [threading.Thread(target=work, args=(port,))
           for port in (a, b) for work in (send, receive)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
check(got[b] == sent[a] and got[a] == sent[b],
      "{} bytes each way".format(size))

a.write(b"0123456789")
settle(lambda: b.in_waiting == 10)
check(b.in_waiting == 10 and b.read(10) == b"0123456789", "in_waiting")

a.dtr = False
check(not b.dsr and not b.cd, "DTR off: DSR and CD off")
a.dtr = True
check(b.dsr and b.cd, "DTR on: DSR and CD on")

# The receiver holds the line with its RTS: nothing crosses, the ring fills.
block = random.Random(2).randbytes(20000)
b.rts = False
check(not a.cts, "RTS off: CTS off")
a.write_timeout = 0
taken = a.write(block)
a.write_timeout = 0.2
try:
    a.write(block)
    later = None
except serial.SerialTimeoutException as error:
    # The UART's FIFO may have taken bytes from the ring meanwhile, leaving
    # room for some of these: they are in flight too.
    later = error.characters_written
check(later is not None, "a held line times a write out")
held = block[:taken] + block[:later or 0]
check(0 < taken < len(block) and b.in_waiting == 0,
      "held, the driver took {} and {}".format(taken, later))
b.rts = True
check(b.read(len(held)) == held, "released, what was held arrives")
b.rts = False
settle(lambda: not a.cts)  # the hold is in force before anything is written
a.write(block[:1000])
a.reset_output_buffer()
b.rts = True
b.timeout = 1
check(b.read(1000) == b"", "reset_output_buffer drops what was not sent")

# A blocked read ends at cancel_read with nothing (or, cancelled before it
# waits, the next read does); the read after it waits as usual.
reader = threading.Thread(target=lambda: got.update(cancelled=b.read(10)))
b.timeout = None
reader.start()
b.cancel_read()
reader.join()
a.write(b"abc")
b.inter_byte_timeout = 0.1
check(got["cancelled"] == b"" and b.read(10) == b"abc",
      "cancel_read ends a read; the next ends at a gap")
b.inter_byte_timeout = None
b.timeout = 1

a.send_break(0.05)
check(b.read(10) == b"\0", "a break: a 0 byte, and the read ends at its time")

a.write(b"junk")
settle(lambda: b.in_waiting == 4)
b.reset_input_buffer()
b.timeout = 0
check(b.in_waiting == 0 and b.read(4) == b"", "reset_input_buffer")
b.timeout = 5

check(raises(lambda: setattr(a, "baudrate", 100000)) is not None,
      "100000 baud refused")
a.write(b"still")
check(a.baudrate == 921600 and b.read(5) == b"still", "the port still runs")

# Bytes in flight at 9600 baud survive a reopen, another handle with the same
# settings and a change of settings (applied once they have left); what
# arrived before an open is dropped, as on a tty.
SLOW = "quelta://Serial{}?baudrate=9600"
line = bytes(range(65, 81))
c = serial.serial_for_url(SLOW.format(2))
d = serial.serial_for_url(SLOW.format(3), timeout=5)
c.write(line)
c.close()
c = serial.serial_for_url(SLOW.format(2))
check(d.read(16) == line, "a reopen keeps the bytes in flight")
c.write(line)
serial.serial_for_url(SLOW.format(2)).close()
check(d.read(16) == line, "the same settings again keep them")
c.write(line)
c.stopbits = 2
check(d.read(16) == line, "new settings wait for the line")
c.write(line * 64)  # over a second of line: out_waiting finds it queued
waiting = c.out_waiting
c.flush()
check(0 < waiting and c.out_waiting == 0 and d.read(1024) == line * 64,
      "flush waits for the line ({} waiting)".format(waiting))
d.close()
c.write(b"stale")
time.sleep(0.2)
d = serial.serial_for_url(SLOW.format(3), timeout=0.3)
check(d.read(5) == b"", "an open drops what arrived before it")

only = serial.serial_for_url("quelta://Serial4?exclusive=1")
busy = raises(lambda: serial.serial_for_url("quelta://Serial4?exclusive=1"))
check(busy is not None and "busy" in busy, "exclusive twice: {}".format(busy))
busy = raises(lambda: serial.serial_for_url("quelta://Serial4"))
check(busy is not None and "busy" in busy, "exclusive, then shared: {}"
      .format(busy))
busy = raises(lambda: serial.serial_for_url("quelta://Serial2?exclusive=1"))
check(busy is not None and "busy: held by PID {}".format(os.getpid()) in busy,
      "shared, then exclusive: {}".format(busy))
check(all(raises(lambda: serial.serial_for_url("quelta://Serial5?" + query))
          is not None for query in ("speed=1", "rx_trigger=57")),
      "an unknown option and a trigger above 56 are refused")
trigger = serial.serial_for_url("quelta://Serial6?rx_trigger=8")
trigger.close()

if misses:
    sys.exit(1)
print("{} checks passed".format(len(passed)))
