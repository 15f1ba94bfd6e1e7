#include "usbhotplugtranslator.h"

#include <QStringList>

namespace {

const char interfaceClassGuid[] = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

bool isUsableSerial(const QString &serial)
{
    if (serial.isEmpty())
        return false;
    for (const QChar c : serial) {
        const ushort u = c.unicode();
        if (u <= 0x20 || u > 0x7E || c == QLatin1Char(',') || c == QLatin1Char('#'))
            return false;
    }
    return true;
}

bool parseHexId(const QString &text, quint16 *id)
{
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok, 16);
    if (!ok || value > 0xFFFF)
        return false;
    *id = static_cast<quint16>(value);
    return true;
}

// Vendor and product identifiers, in order of trust: the sysfs attributes
// (present while the device exists), the udev database's ID_VENDOR_ID and
// ID_MODEL_ID, then the kernel's PRODUCT property "vid/pid/bcd", which even a
// removal event carries.
bool readIds(const UsbDeviceEvent &event, quint16 *vendorId, quint16 *productId)
{
    if (parseHexId(event.attributes.value(QStringLiteral("idVendor")), vendorId)
        && parseHexId(event.attributes.value(QStringLiteral("idProduct")), productId))
        return true;
    if (parseHexId(event.properties.value(QStringLiteral("ID_VENDOR_ID")), vendorId)
        && parseHexId(event.properties.value(QStringLiteral("ID_MODEL_ID")), productId))
        return true;
    const QStringList product = event.properties.value(QStringLiteral("PRODUCT")).split(QLatin1Char('/'));
    return product.size() >= 2 && parseHexId(product.at(0), vendorId)
        && parseHexId(product.at(1), productId);
}

} // namespace

QString UsbHotplugTranslator::interfacePath(quint16 vendorId, quint16 productId,
                                            const QString &serial, const QString &portPath)
{
    // The kernel's port paths ("1-3.2") are always usable; anything else a
    // path could hold is replaced, so that the path keeps its four parts.
    QString instance = serial;
    if (!isUsableSerial(instance)) {
        instance = portPath;
        for (QChar &c : instance) {
            if (!isUsableSerial(QString(c)))
                c = QLatin1Char('_');
        }
        if (instance.isEmpty())
            instance = QStringLiteral("_");
    }
    return QStringLiteral("\\\\?\\USB#VID_%1&PID_%2#%3#%4")
        .arg(vendorId, 4, 16, QLatin1Char('0'))
        .arg(productId, 4, 16, QLatin1Char('0'))
        .toUpper()
        .arg(instance, QLatin1String(interfaceClassGuid));
}

bool UsbHotplugTranslator::isUsbDevice(const UsbDeviceEvent &event)
{
    return event.subsystem == QLatin1String("usb") && event.devType == QLatin1String("usb_device");
}

QString UsbHotplugTranslator::pathFor(const UsbDeviceEvent &event)
{
    quint16 vendorId = 0;
    quint16 productId = 0;
    if (!readIds(event, &vendorId, &productId))
        return QString();
    QString serial = event.attributes.value(QStringLiteral("serial"));
    if (serial.isEmpty())
        serial = event.properties.value(QStringLiteral("ID_SERIAL_SHORT"));
    return interfacePath(vendorId, productId, serial, event.sysName);
}

void UsbHotplugTranslator::remember(const UsbDeviceEvent &device)
{
    if (!isUsbDevice(device))
        return;
    const QString path = pathFor(device);
    if (!path.isEmpty())
        m_paths.insert(device.sysPath, path);
}

UsbHotplugTranslator::Change UsbHotplugTranslator::translate(const UsbDeviceEvent &event)
{
    Change change;
    if (!isUsbDevice(event))
        return change;

    if (event.action == QLatin1String("add")) {
        const QString path = pathFor(event);
        if (path.isEmpty())
            return change;
        m_paths.insert(event.sysPath, path);
        change.kind = Arrival;
        change.interfacePath = path;
    } else if (event.action == QLatin1String("remove")) {
        QString path = m_paths.take(event.sysPath);
        if (path.isEmpty())
            path = pathFor(event);
        if (path.isEmpty())
            return change;
        change.kind = Removal;
        change.interfacePath = path;
    }
    // "bind", "unbind", "change", ... are not arrivals or removals.
    return change;
}
