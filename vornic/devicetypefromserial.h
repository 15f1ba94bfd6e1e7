#ifndef DEVICETYPEFROMSERIAL_H
#define DEVICETYPEFROMSERIAL_H

#include <QString>

// The DeviceType encoded in the leading characters of a serial number, or
// UnknownDevice. Never returns UnknownRemoteDevice. Safe on any thread.
int deviceTypeFromSerial(const QString &serialNumber);

#endif // DEVICETYPEFROMSERIAL_H
