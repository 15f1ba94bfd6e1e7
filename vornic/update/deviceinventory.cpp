#include "deviceinventory.h"

#include "devicecatalog.h"
#include "serialportinuse.h"

#include <libusb.h>

DeviceInventory::~DeviceInventory()
{
    // The devices go before the context that holds them.
    release();
    if (m_context)
        libusb_exit(m_context);
}

int DeviceInventory::open()
{
    if (m_context)
        return 0;
    const int result = UsbDeviceList::initContext(&m_context);
    if (result != 0)
        m_context = nullptr;
    return result;
}

void DeviceInventory::release()
{
    UsbDeviceList::release(&m_usb);
    m_local.clear();
}

int DeviceInventory::listUsb(const UsbDeviceList::Wanted &wanted, const UsbDeviceList::Trace &trace)
{
    // The entries of the previous listing go with their references; a fresh
    // context then sees the bus as it is.
    release();
    ++m_generation;
    if (m_context)
        libusb_exit(m_context);
    m_context = nullptr;
    const int result = open();
    if (result != 0)
        return result;
    return UsbDeviceList::enumerate(m_context, &m_usb, trace, wanted);
}

void DeviceInventory::listLocal(const UsbDeviceList::Wanted &wanted, QList<QSerialPortInfo> *leftOut)
{
    listUsb(wanted);
    for (int i = 0; i < m_usb.size(); ++i) {
        const UsbDeviceEntry &entry = m_usb.at(i);
        LocalDevice device;
        device.road = LocalDevice::Usb;
        device.id = entry.portPath;
        device.text = entry.text;
        device.serialNumber = entry.serialNumber;
        device.accessible = entry.accessible;
        device.usbIndex = i;
        m_local.append(device);
    }
    const QList<QSerialPortInfo> ports = makerSerialPorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.serialNumber().isEmpty()) {
            if (leftOut)
                leftOut->append(port);
            continue;
        }
        m_local.append(serialDevice(port));
    }
}

QVector<LocalDevice> DeviceInventory::matches(const QString &name) const
{
    const bool usbPath = UsbDeviceList::isPortPath(name);
    const QString portName = name.startsWith(QLatin1String("/dev/")) ? name.mid(5) : name;
    QVector<LocalDevice> found;
    for (const LocalDevice &device : m_local) {
        if ((usbPath && device.road == LocalDevice::Usb && device.id == name)
            || (device.road == LocalDevice::Serial && device.id == portName)
            || (!usbPath && device.serialNumber == name))
            found.append(device);
    }
    return found;
}

QList<QSerialPortInfo> DeviceInventory::makerSerialPorts()
{
    QList<QSerialPortInfo> maker;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.vendorIdentifier() == DeviceCatalog::makerVendorId)
            maker.append(port);
    }
    return maker;
}

LocalDevice DeviceInventory::serialDevice(const QSerialPortInfo &port)
{
    LocalDevice device;
    device.road = LocalDevice::Serial;
    device.id = port.portName();
    device.text = DeviceCatalog::serialRowText(port);
    device.serialNumber = port.serialNumber();
    // A port this user may not open is marked, so the reason is in sight
    // before anything is tried.
    device.accessible = !serialPortForbidden(port.systemLocation());
    if (!device.accessible)
        device.text += QLatin1String(" (no access)");
    device.port = port;
    return device;
}
