"""The Modbus RTU CRC (polynomial 0xA001, start 0xFFFF), low byte first as
it goes on the line; shared by the test pads on the RS-485 line."""


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])
