#include "usbversionsuffix.h"

#include <libusb.h>

namespace {
const quint8 versionRequestType = 0xC0;  // device to host, vendor, device
const quint8 versionRequest = 0x80;
const int versionLength = 10;
const unsigned versionTimeoutMs = 300;
}

int usbVersionSuffix(libusb_device_handle *handle, QString &suffix, quint16 productId)
{
    unsigned char reply[versionLength] = {};
    const int result = libusb_control_transfer(handle, versionRequestType, versionRequest, 0, 0, reply,
                                               versionLength, versionTimeoutMs);
    if (productId & bootloaderProductBit) {
        suffix = QStringLiteral(" bootloader");
        return result;
    }
    suffix = QStringLiteral(" v");
    // A byte whose decimal text is one digit, 0 to 9 (what an integer
    // validator of 0 to 9 accepts); any other reads as 0.
    for (int i = 2; i >= 0; --i)
        suffix += QLatin1Char('.') + QString::number(reply[i] <= 9 ? reply[i] : 0);
    return result;
}
