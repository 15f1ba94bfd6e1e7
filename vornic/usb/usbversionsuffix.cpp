#include "usbversionsuffix.h"

#include <QIntValidator>

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
    const QIntValidator singleDigit(0, 9);
    for (int i = 2; i >= 0; --i) {
        QString digit = QString::number(reply[i]);
        int position = 0;
        if (singleDigit.validate(digit, position) != QValidator::Acceptable)
            digit = QStringLiteral("0");
        suffix += QLatin1Char('.') + digit;
    }
    return result;
}
