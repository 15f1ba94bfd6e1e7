#!/usr/bin/python3
"""Two pads on one RS-485 line: the chosen one, which answers Write File
Record requests as a pad does (the request repeated) and keeps the records
it answers so, with one fault at one record; and another one like it, which answers
nothing and logs every frame addressed to it. Prints "ready" once the port
is open and "record K" as the K-th record (from 1) arrives.

  faulty_pad.py PORT ADDRESS OTHER RECEIVED OTHER_LOG FAULT RECORD

FAULT: none, silent (no answer from that record on), exception (Illegal Data
Address), bad-crc, other-slave (the answer comes from the next address),
slow (the answer comes after half a second).
"""
import sys
import time

import serial

from modbuscrc import crc16

port = serial.Serial(sys.argv[1], 115200, timeout=None)
address, other = int(sys.argv[2]), int(sys.argv[3])
received_path, other_log = sys.argv[4], sys.argv[5]
fault, fault_record = sys.argv[6], int(sys.argv[7])
image = bytearray()
records = 0
silent = False
open(other_log, "wb").close()
print("ready", flush=True)
while True:
    head = port.read(3)
    if head[1] == 0x15:
        frame = head + port.read(head[2] + 2)
    else:
        frame = head + port.read(5)     # a diagnostics request: eight bytes
    if head[0] == other:
        with open(other_log, "ab") as log:
            log.write(frame.hex().encode() + b"\n")
        continue
    if head[0] != address or head[1] != 0x15 or crc16(frame[:-2]) != frame[-2:]:
        continue
    records += 1
    print("record %d" % records, flush=True)
    here = records == fault_record
    silent = silent or (here and fault == "silent")
    if silent:
        continue
    # Kept only when it is answered as a pad answers it: "held" means held.
    if not (here and fault in ("exception", "bad-crc", "other-slave")):
        number = (frame[6] << 8) | frame[7]
        data = frame[10:-2]
        at = number * 32
        if len(image) < at + len(data):
            image.extend(bytes(at + len(data) - len(image)))
        image[at:at + len(data)] = data
        with open(received_path, "wb") as out:
            out.write(image)
    reply = frame
    if here and fault == "exception":
        body = bytes([address, 0x95, 0x02])
        reply = body + crc16(body)
    elif here and fault == "bad-crc":
        reply = frame[:-1] + bytes([frame[-1] ^ 0xFF])
    elif here and fault == "other-slave":
        body = bytes([(address + 1) & 0xFF]) + frame[1:-2]
        reply = body + crc16(body)
    elif here and fault == "slow":
        time.sleep(0.5)
    port.write(reply)
