#!/usr/bin/python3
"""A device on the RS-485 line that answers every Write File Record request,
but not as the addressed pad would: from another slave address, or with
another function code. Its frames carry a correct CRC, so only a master
that checks who answered, and to what, can tell. Prints "ready" once the
port is open.

  hostile_pad.py PORT other-address|other-function
"""
import sys

import serial

from modbuscrc import crc16

port = serial.Serial(sys.argv[1], 115200, timeout=None)
mode = sys.argv[2]
print("ready", flush=True)
while True:
    head = port.read(3)
    if head[1] != 0x15:
        # Another request of eight bytes (a diagnostic): not answered.
        port.read(5)
        continue
    request = head + port.read(head[2] + 2)
    if mode == "other-address":
        reply = bytes([(request[0] + 1) & 0xFF]) + request[1:-2]
    else:
        reply = bytes([request[0], 0x10, 0x00, 0x00, 0x00, 0x02])
    port.write(reply + crc16(reply))
