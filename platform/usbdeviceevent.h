#ifndef USBDEVICEEVENT_H
#define USBDEVICEEVENT_H

#include <QHash>
#include <QString>

// What the hot-plug layer knows about one udev event (or one device found
// when the monitor starts), copied out of libudev so the translation into an
// interface path can be tested without a udev daemon.
struct UsbDeviceEvent
{
    QString action;      // "add", "remove", "bind", ...; empty for a device found at start
    QString subsystem;   // "usb"
    QString devType;     // "usb_device", "usb_interface", ...
    QString sysPath;     // e.g. /sys/devices/pci0000:00/0000:00:14.0/usb1/1-3
    QString sysName;     // the kernel's port path, e.g. "1-3" or "1-3.2"
    QHash<QString, QString> properties;  // event properties (PRODUCT, ID_VENDOR_ID, ...)
    QHash<QString, QString> attributes;  // sysfs attributes read at the event: idVendor, idProduct, serial
};

#endif // USBDEVICEEVENT_H
