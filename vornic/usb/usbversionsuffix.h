#ifndef USBVERSIONSUFFIX_H
#define USBVERSIONSUFFIX_H

#include <QString>

struct libusb_device_handle;

// The maker's bootloaders carry this bit in their USB product identifier.
const quint16 bootloaderProductBit = 0x8000;

// Asks the device for its version bytes (vendor request 0xC0/0x80, 10 bytes,
// 300 ms) and makes the list-row suffix: " bootloader" for a bootloader
// product identifier (bit 15 set), otherwise " v.d.d.d" from reply bytes 2,
// 1 and 0 (".0" for a byte that is not a single decimal digit). Returns the
// request's result; the caller appends `suffix` only when it is 0 or more.
int usbVersionSuffix(libusb_device_handle *handle, QString &suffix, quint16 productId);

#endif // USBVERSIONSUFFIX_H
