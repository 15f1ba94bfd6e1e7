#include "usbdevicelist.h"

#include "devicecatalog.h"
#include "dfuprotocol.h"
#include "usbversionsuffix.h"

#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

#include <libusb.h>

namespace {

// Devices of the maker with this class are the COM-port variants, listed
// with the serial ports.
const quint8 communicationsClass = 2;
const int stringBufferSize = 128;
// The shortest end of a serial number a bootloader may report for itself.
const int shortestSerialEnd = 4;

// What the system read from the device when it arrived, as it stands
// (without the line end); empty when it has no such attribute.
QByteArray sysfsValue(const QString &portPath, const char *key)
{
    QFile file(QStringLiteral("/sys/bus/usb/devices/%1/%2").arg(portPath, QLatin1String(key)));
    // A string descriptor holds at most 126 characters, 3 bytes each in UTF-8.
    QByteArray value = file.open(QIODevice::ReadOnly) ? file.read(512) : QByteArray();
    if (value.endsWith('\n'))
        value.chop(1);
    return value;
}

QString sysfsAttribute(const QString &portPath, const char *key)
{
    return QString::fromLatin1(sysfsValue(portPath, key)).trimmed();
}

} // namespace

bool UsbDeviceList::isPortPath(const QString &name)
{
    static const QRegularExpression form(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    return form.match(name).hasMatch();
}

bool UsbDeviceList::mayBeNamed(libusb_device *device, const QString &name)
{
    const QString at = portPath(device);
    if (isPortPath(name))
        return at == name;
    // The kernel read the serial number when the device arrived. Only a
    // plain ASCII one is compared: ours is read as ASCII, with '?' for any
    // other character, and the system's may be spelled otherwise.
    const QByteArray serial = sysfsValue(at, "serial");
    const bool plain = !serial.isEmpty()
        && std::all_of(serial.cbegin(), serial.cend(), [](char c) { return c > ' ' && c < 0x7F; });
    return !plain || QString::fromLatin1(serial) == name;
}

bool UsbDeviceList::mayBeReturned(libusb_device *device, const AwaitedDevice &awaited)
{
    if (awaited.present.contains(presenceKey(device)) || !isBootloaderDevice(device))
        return false;
    return awaited.mode != AwaitedDevice::AfterDetach || portPath(device) == awaited.portPath;
}

QString UsbDeviceList::portPath(libusb_device *device)
{
    quint8 ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    QString name = QString::number(libusb_get_bus_number(device)) + QLatin1Char('-');
    for (int i = 0; i < depth; ++i)
        name += (i ? QStringLiteral(".") : QString()) + QString::number(ports[i]);
    return name;
}

QString UsbDeviceList::inaccessibleDeviceText(libusb_device *device)
{
    const QString name = portPath(device);
    QString text = sysfsAttribute(name, "product");
    const QString serial = sysfsAttribute(name, "serial");
    if (!serial.isEmpty())
        text += QLatin1String(" S/N: ") + serial;
    return text + QLatin1String(" (no access)");
}

int UsbDeviceList::enumerate(libusb_context *context, QVector<UsbDeviceEntry> *entries, const Trace &trace,
                             const Wanted &wanted)
{
    const auto say = [&trace](const QString &line) {
        if (trace)
            trace(line);
    };
    // Without a context libusb would fall back to an uninitialised default
    // one; report it like any other enumeration failure.
    libusb_device **list = nullptr;
    const ssize_t count = context ? libusb_get_device_list(context, &list) : ssize_t(LIBUSB_ERROR_OTHER);
    if (count < 0)
        return int(count);

    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *device = list[i];
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) != 0
            || descriptor.idVendor != DeviceCatalog::makerVendorId
            || descriptor.bDeviceClass == communicationsClass || (wanted && !wanted(device)))
            continue;

        say(QStringLiteral("Get device with vid = %1, pid = %2!").arg(descriptor.idVendor).arg(descriptor.idProduct));
        UsbDeviceEntry entry;
        entry.productId = descriptor.idProduct;
        entry.portPath = portPath(device);
        entry.presence = presenceKey(device);
        entry.bootloader = isBootloaderDevice(device);
        libusb_device_handle *handle = nullptr;
        const int opened = libusb_open(device, &handle);
        if (opened != 0) {
            say(QStringLiteral("Unable to access the device with vid = %1, pid = %2!")
                    .arg(descriptor.idVendor)
                    .arg(descriptor.idProduct));
            // A device this user may not open is still shown, so that the
            // user learns why it cannot be updated (its strings come from
            // the system, which reads them without opening it).
            if (opened == LIBUSB_ERROR_ACCESS) {
                entry.device = libusb_ref_device(device);
                entry.text = inaccessibleDeviceText(device);
                entry.product = sysfsAttribute(entry.portPath, "product");
                entry.serialNumber = sysfsAttribute(entry.portPath, "serial");
                entry.accessible = false;
                entries->append(entry);
            }
            continue;
        }

        const auto readString = [handle](quint8 index, QString *text) {
            unsigned char buffer[stringBufferSize] = {};
            const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, stringBufferSize);
            if (length < 0)
                return false;
            *text = QString::fromLatin1(reinterpret_cast<const char *>(buffer));
            return true;
        };

        bool readable = true;
        if (descriptor.iProduct != 0) {
            readable = readString(descriptor.iProduct, &entry.product);
            if (entry.product.contains(QLatin1String("NET")))
                entry.product.replace(QLatin1String("NET"), QLatin1String("Net"));
            else if (entry.product.contains(QLatin1String("NE?")))
                entry.product.replace(QLatin1String("NE?"), QLatin1String("Net"));
            entry.text += entry.product;
        }
        if (readable && descriptor.iSerialNumber != 0) {
            readable = readString(descriptor.iSerialNumber, &entry.serialNumber);
            entry.text += QLatin1String(" S/N: ") + entry.serialNumber;
        }
        if (!readable) {
            say(QStringLiteral("string descriptor < 0"));
            libusb_close(handle);
            continue;
        }

        QString suffix;
        if (usbVersionSuffix(handle, suffix, descriptor.idProduct) >= 0) {
            entry.text += suffix;
            entry.version = suffix.trimmed();
        }
        libusb_close(handle);
        say(QStringLiteral("add %1 to list").arg(entry.text));
        entry.device = libusb_ref_device(device);
        entries->append(entry);
    }

    // Devices that got no entry are released here; entries keep the
    // reference taken above until release().
    libusb_free_device_list(list, 1);
    return int(count);
}

void UsbDeviceList::release(QVector<UsbDeviceEntry> *entries)
{
    for (const UsbDeviceEntry &entry : qAsConst(*entries))
        libusb_unref_device(entry.device);
    entries->clear();
}

bool UsbDeviceList::isBootloaderDevice(libusb_device *device)
{
    // The maker's bootloaders carry bit 15 in their product identifier; any
    // DFU 1.1 device in DFU mode shows its DFU interface with protocol 2.
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) == 0 && (descriptor.idProduct & bootloaderProductBit))
        return true;
    DfuInterface dfu;
    dfu.device = device;
    return findFirstDfuInterface(dfu) == 1 && (dfu.flags & DfuInterface::DfuModeFlag);
}

QString UsbDeviceList::presenceKey(libusb_device *device)
{
    return portPath(device) + QLatin1Char('@') + QString::number(libusb_get_device_address(device));
}

int UsbDeviceList::initContext(libusb_context **context)
{
    const int tries = 10;
    const unsigned long pause = 50;     // ms
    int result = LIBUSB_ERROR_OTHER;
    for (int i = 0; i < tries; ++i) {
        result = libusb_init(context);
        if (result == 0)
            return 0;
        *context = nullptr;
        QThread::msleep(pause);
    }
    return result;
}

QSet<QString> UsbDeviceList::devicesOnBus()
{
    QSet<QString> keys;
    libusb_context *context = nullptr;
    if (initContext(&context) != 0)
        return keys;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i)
        keys.insert(presenceKey(list[i]));
    if (count >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return keys;
}

bool UsbDeviceList::isReturnedDevice(const AwaitedDevice &awaited, const UsbDeviceEntry &entry)
{
    if (!entry.bootloader || awaited.present.contains(entry.presence))
        return false;
    switch (awaited.mode) {
    case AwaitedDevice::AfterSerialBoot: {
        const QString &reported = entry.serialNumber;
        const QString &wanted = awaited.serialNumber;
        if (reported.isEmpty() || wanted.isEmpty())
            return false;
        return reported == wanted
            || (reported.size() >= shortestSerialEnd && reported.size() < wanted.size() && wanted.endsWith(reported));
    }
    case AwaitedDevice::AfterDetach:
        return !awaited.portPath.isEmpty() && entry.portPath == awaited.portPath;
    default:
        return false;
    }
}

int UsbDeviceList::findReturnedDevice(const AwaitedDevice &awaited, const QVector<UsbDeviceEntry> &entries,
                                      int *candidates)
{
    int found = -1;
    int count = 0;
    for (int i = 0; i < entries.size(); ++i) {
        if (!isReturnedDevice(awaited, entries.at(i)))
            continue;
        found = i;
        ++count;
    }
    if (candidates)
        *candidates = count;
    return count == 1 ? found : -1;
}

QString UsbDeviceList::ambiguousReturnText(const AwaitedDevice &awaited, int candidates)
{
    const QString which = awaited.mode == AwaitedDevice::AfterSerialBoot
        ? QStringLiteral("with serial number %1").arg(awaited.serialNumber)
        : QStringLiteral("on USB port %1").arg(awaited.portPath);
    return QStringLiteral("%1 devices came back in their bootloader %2, and the one that was told to restart cannot "
                          "be told apart from the others. None of them was written: unplug the other devices and "
                          "start the update again.")
        .arg(candidates)
        .arg(which);
}
