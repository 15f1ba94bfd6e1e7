#ifndef USBDEVICELIST_H
#define USBDEVICELIST_H

#include "awaiteddevice.h"

#include <QSet>
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
    // Tells this device apart from one that later sits on the same port (a
    // device gets a new address each time it arrives).
    QString presence;
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
    // Decides from what the system knows of a device, before it is opened,
    // whether it may be the one looked for.
    using Wanted = std::function<bool(libusb_device *device)>;

    // Appends an entry per device to `entries`; every step is told to
    // `trace`. With `wanted`, a device it turns down is neither opened nor
    // asked anything (another process may be writing it). Returns the
    // number of devices on the bus, or a negative libusb error when the bus
    // could not be read.
    static int enumerate(libusb_context *context, QVector<UsbDeviceEntry> *entries, const Trace &trace = Trace(),
                         const Wanted &wanted = Wanted());
    // True for a name of the form of a port path ("1-3", "2-1.4").
    static bool isPortPath(const QString &name);
    // For `wanted`: false only for a device that cannot be the one named
    // `name` (a port path such as "1-3", or a serial number): one at another
    // port, or one whose serial number the system shows and is another.
    static bool mayBeNamed(libusb_device *device, const QString &name);
    // For `wanted`: false for a device that cannot be `awaited` coming back
    // (one that was there before, one at another port after a detach, one
    // out of its bootloader).
    static bool mayBeReturned(libusb_device *device, const AwaitedDevice &awaited);
    static void release(QVector<UsbDeviceEntry> *entries);

    static QString portPath(libusb_device *device);
    // True for a device that runs its bootloader rather than its application.
    static bool isBootloaderDevice(libusb_device *device);
    // Where the device sits and under which address it arrived: two looks at
    // the bus give the same key only for a device that stayed all the while.
    static QString presenceKey(libusb_device *device);
    // The presence keys of every device on the bus now (a fresh look).
    static QSet<QString> devicesOnBus();
    // libusb_init, given a few more tries when it fails: it can fail for a
    // moment while other programs start theirs (its hot-plug monitor), and
    // a device must not be taken for absent then. 0 or the last error.
    static int initContext(libusb_context **context);

    // True when `entry` may be the device `awaited` describes: it runs its
    // bootloader, was not on the bus before the restart request, and is
    // either on the same whole port path (after a detach) or reports the
    // awaited serial number (after a serial boot). A bootloader may report
    // only the end of the serial number, of at least 4 characters.
    static bool isReturnedDevice(const AwaitedDevice &awaited, const UsbDeviceEntry &entry);
    // The index in `entries` of the awaited device, or -1. `candidates` gets
    // how many entries qualify: with more than one the device cannot be told
    // apart from another, and -1 is returned so that neither is written.
    static int findReturnedDevice(const AwaitedDevice &awaited, const QVector<UsbDeviceEntry> &entries,
                                  int *candidates = nullptr);
    // Why no device may be written when `candidates` devices qualify.
    static QString ambiguousReturnText(const AwaitedDevice &awaited, int candidates);
    // The row text of a device this user may not open, from the system's
    // description of it, marked "(no access)".
    static QString inaccessibleDeviceText(libusb_device *device);
};

#endif // USBDEVICELIST_H
