#!/usr/bin/python3
"""The same Write File Record requests as tools/modbus-benchmark, through
Debian's pymodbus client: prints the time per record in milliseconds.

  modbus_client_benchmark.py PORT RECORDS
"""
import sys
import time

from pymodbus.client import ModbusSerialClient
from pymodbus.file_message import FileRecord, WriteFileRecordRequest

port, records = sys.argv[1], int(sys.argv[2])
client = ModbusSerialClient(port=port, baudrate=115200, timeout=1)
if not client.connect():
    sys.exit("cannot open " + port)
start = time.perf_counter()
for record in range(records):
    data = bytes((record * 32 + i) & 0xFF for i in range(32))
    request = WriteFileRecordRequest(records=[FileRecord(file_number=0, record_number=record, record_data=data)],
                                     unit=80)
    response = client.execute(request)
    if response.isError():
        sys.exit("record %d: %s" % (record, response))
print("%.4f" % ((time.perf_counter() - start) * 1000.0 / records))
client.close()
