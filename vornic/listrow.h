#ifndef LISTROW_H
#define LISTROW_H

#include <QVariant>

class NetworkDevice;
class QListWidgetItem;
struct libusb_device;

// What a row of the window's device list holds under Qt::UserRole: a
// network record (a void*), a libusb device (a pointer-sized integer) or a
// serial port description. Each is read only from a row of its own kind.
class ListRow
{
public:
    // The network record `data` holds, or null: USB rows hold an integer
    // and serial rows a port description, and neither may ever be taken for
    // a record.
    static NetworkDevice *networkDevice(const QVariant &data);
    static NetworkDevice *networkDevice(const QListWidgetItem *row);
    // The libusb device a USB row's data holds, or null.
    static libusb_device *usbDevice(const QVariant &data);
    static libusb_device *usbDevice(const QListWidgetItem *row);
};

#endif // LISTROW_H
