#ifndef USBDEVICELIST_H
#define USBDEVICELIST_H

#include <QString>
#include <QVector>

#include <functional>

struct libusb_context;
struct libusb_device;

// One of the maker's USB devices as a list shows it.
struct UsbDeviceEntry
{
    // Referenced; UsbDeviceList::release() gives the references back.
    libusb_device *device = nullptr;
    // The row text: "<product> S/N: <serial>" and the version suffix, or,
    // for a device this user may not open, the system's strings and
    // " (no access)".
    QString text;
    QString product;
    QString serialNumber;
    // "v.d.d.d" of the application, "bootloader", or empty when not asked.
    QString version;
    quint16 productId = 0;
    // Where it sits: "<bus>-<port>[.<port>...]", as the kernel names it.
    QString portPath;
    bool accessible = true;
    // Runs its bootloader: the product bit, or a DFU interface in DFU mode.
    bool bootloader = false;
};

// Listing of the maker's USB devices that take an image over DFU (the
// COM-port variants are left to the serial road), and recognising one of
// them coming back in its bootloader. No widgets; any thread.
class UsbDeviceList
{
public:
    using Trace = std::function<void(const QString &line)>;

    // Appends an entry per device to `entries`; every step is told to
    // `trace`. Returns the number of devices on the bus, or a negative
    // libusb error when the bus could not be read.
    static int enumerate(libusb_context *context, QVector<UsbDeviceEntry> *entries, const Trace &trace = Trace());
    static void release(QVector<UsbDeviceEntry> *entries);

    static QString portPath(libusb_device *device);
    // True for a device that runs its bootloader rather than its application.
    static bool isBootloaderDevice(libusb_device *device);
    // True when `device`, listed as `rowText`, is the one an update sent into
    // its bootloader: after a serial "boot" (mode 0) it is known by "boot"
    // and its serial number, after a DFU detach (mode 1) by where it sits on
    // the bus, and it must run its bootloader.
    static bool isReturnedDevice(int mode, const QString &pendingSerialNumber, int detachedBusNumber,
                                 int detachedPortNumber, libusb_device *device, const QString &rowText);
    // The row text of a device this user may not open, from the system's
    // description of it, marked "(no access)".
    static QString inaccessibleDeviceText(libusb_device *device);
};

#endif // USBDEVICELIST_H
