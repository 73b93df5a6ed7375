#!/usr/bin/python3
"""Holds the processors' wake-up latency at zero until ended, through the kernel's
PM QoS interface, so that idle processors poll instead of halting.

On the virtual machines the benchmarks run on, a halted processor takes tens of
microseconds to wake, and a loopback transfer read in 1024-byte pieces wakes one for
every piece: WinINet then fetches at a sixth of its speed, and how fast depends on
whether another program keeps a processor busy. Both sides of every comparison run
under the same hold. Without the right to it (not root), the figures are taken
without it and a note says so on standard error."""
import os
import signal
import struct
import sys

try:
    request = os.open("/dev/cpu_dma_latency", os.O_WRONLY)
    os.write(request, struct.pack("i", 0))
except OSError as error:
    print(f"benchmarks: processors may halt when idle ({error})", file=sys.stderr)
    sys.exit(0)
# The request holds while the file stays open.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
signal.pause()
