#!/usr/bin/python3
"""An independent Modbus RTU slave for the tests: Debian's pymodbus on a
serial port (one side of a pseudo-terminal pair). It answers Write File
Record requests for its slave address with pymodbus' own echo, writes the
records it receives into an image file (record number x 32 bytes), answers
Read File Record requests from what it holds (one byte changed on request;
a record past its image is "Illegal Data Address", as a Modbus file ends),
and can answer request K with an exception or not at all. With --holds it
starts with that file's image. Prints "ready" once the port is open.

  modbus_peer.py PORT SLAVE IMAGE [--exception-at K --exception-code N] [--silent-at K]
                 [--corrupt-read-at OFFSET] [--holds FILE]
"""
import argparse
import asyncio
import logging
import struct
import sys

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext
from pymodbus.file_message import FileRecord, ReadFileRecordRequest, ReadFileRecordResponse, WriteFileRecordRequest
from pymodbus.pdu import ExceptionResponse
from pymodbus.server.async_io import ModbusSerialServer
from pymodbus.transaction import ModbusRtuFramer

logging.basicConfig(level=logging.ERROR, force=True)

parser = argparse.ArgumentParser()
parser.add_argument("port")
parser.add_argument("slave", type=int)
parser.add_argument("image")
parser.add_argument("--exception-at", type=int, default=0)
parser.add_argument("--exception-code", type=int, default=2)
parser.add_argument("--silent-at", type=int, default=0)
parser.add_argument("--corrupt-read-at", type=int, default=-1)
parser.add_argument("--holds")
args = parser.parse_args()

image = bytearray()
if args.holds:
    with open(args.holds, "rb") as held:
        image = bytearray(held.read())
requests = 0


class CapturingRequest(WriteFileRecordRequest):
    """Keeps pymodbus' decoding and echo; stores the records."""

    def execute(self, context):
        global requests
        requests += 1
        if requests == args.exception_at:
            return ExceptionResponse(self.function_code, args.exception_code)
        response = super().execute(context)
        if requests == args.silent_at:
            response.should_respond = False
            return response
        for record in self.records:
            offset = record.record_number * 32
            data = bytes(record.record_data)
            if len(image) < offset + len(data):
                image.extend(bytes(offset + len(data) - len(image)))
            image[offset:offset + len(data)] = data
        with open(args.image, "wb") as out:
            out.write(image)
        return response


class SilenceFramer(ModbusRtuFramer):
    """Frames one after another, as a slave that keeps to the silence between
    frames does. pymodbus drops its whole buffer after a frame for another
    slave (or with a bad CRC), and with it the start of a request that came
    right behind it: on a loaded machine both arrive in one read. This one
    drops that frame alone, and goes on with what follows."""

    def resetFrame(self):
        size = self._header.get("len", 0)
        if 0 < size <= len(self._buffer):
            self.advanceFrame()
        else:
            super().resetFrame()

    def processIncomingPacket(self, data, callback, unit, **kwargs):
        super().processIncomingPacket(data, callback, unit, **kwargs)
        # pymodbus stops after a dropped frame; a whole one may be behind it.
        while self._buffer and self.isFrameReady():
            super().processIncomingPacket(b"", callback, unit, **kwargs)


class ProtocolReadResponse(ReadFileRecordResponse):
    """Each sub-response as the protocol has it: its length in bytes (the
    reference type included), the reference type, the record. (pymodbus
    3.0.0rc1 puts the reference type first and the length in registers.)"""

    def encode(self):
        packet = b"".join(struct.pack(">BB", len(record.record_data) + 1, 0x06) + record.record_data
                          for record in self.records)
        return struct.pack("B", len(packet)) + packet


class ServingReadRequest(ReadFileRecordRequest):
    """Keeps pymodbus' decoding; answers from the records it holds."""

    def execute(self, context):
        global requests
        requests += 1
        if requests == args.exception_at:
            return ExceptionResponse(self.function_code, args.exception_code)
        records = []
        for record in self.records:
            offset = record.record_number * 32
            if offset >= len(image):
                return ExceptionResponse(self.function_code, 2)
            length = record.record_length * 2
            data = bytearray(image[offset:offset + length].ljust(length, b"\0"))
            if offset <= args.corrupt_read_at < offset + length:
                data[args.corrupt_read_at - offset] ^= 0x5A
            records.append(FileRecord(record_data=bytes(data)))
        response = ProtocolReadResponse(records)
        response.should_respond = requests != args.silent_at
        return response


async def main():
    context = ModbusServerContext(slaves={args.slave: ModbusSlaveContext()}, single=False)
    server = ModbusSerialServer(context, framer=SilenceFramer, port=args.port, baudrate=115200)
    server.decoder.register(CapturingRequest)
    server.decoder.register(ServingReadRequest)
    await server.start()
    if server.transport is None:
        print("cannot open " + args.port, file=sys.stderr, flush=True)
        sys.exit(1)
    print("ready", flush=True)
    await server.serve_forever()


asyncio.run(main())
