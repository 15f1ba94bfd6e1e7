// umockdev's GLib headers use "signals" as a name: include them before Qt.
#include <umockdev.h>

#include "usbtestbed.h"

#include <algorithm>

#include <QDebug>

UsbTestbed::UsbTestbed()
{
    // Without the preload library the testbed would be invisible to the
    // code under test, so refuse to pretend.
    if (qgetenv("LD_PRELOAD").contains("libumockdev-preload"))
        m_testbed = umockdev_testbed_new();
}

UsbTestbed::~UsbTestbed()
{
    if (m_testbed)
        g_object_unref(m_testbed);
}

QByteArray UsbTestbed::describe(const Device &device)
{
    const QByteArray number = QByteArray::number(device.deviceNumber).rightJustified(3, '0');
    const QByteArray vendor = QByteArray::number(device.vendorId, 16).rightJustified(4, '0');
    const QByteArray product = QByteArray::number(device.productId, 16).rightJustified(4, '0');
    QByteArray text;
    text += "P: /devices/pci0000:00/0000:00:14.0/usb1/" + device.port + "\n";
    text += "N: bus/usb/001/" + number + "\n";
    text += "E: SUBSYSTEM=usb\n";
    text += "E: DEVTYPE=" + device.devType + "\n";
    text += "E: DEVNAME=/dev/bus/usb/001/" + number + "\n";
    text += "E: PRODUCT=" + QByteArray::number(device.vendorId, 16) + "/"
        + QByteArray::number(device.productId, 16) + "/100\n";
    text += "E: BUSNUM=001\n";
    text += "E: DEVNUM=" + number + "\n";
    text += "A: idVendor=" + vendor + "\n";
    text += "A: idProduct=" + product + "\n";
    // A serial number with control characters (a hostile device's) as
    // bytes, which a text line could not hold.
    const bool plainSerial = std::all_of(device.serial.cbegin(), device.serial.cend(),
                                         [](char c) { return uchar(c) >= 0x20 && c != 0x7F; });
    if (!device.serial.isEmpty())
        text += plainSerial ? "A: serial=" + device.serial + "\n" : "H: serial=" + device.serial.toHex() + "\n";
    text += "A: busnum=1\n";
    text += "A: devnum=" + QByteArray::number(device.deviceNumber) + "\n";
    return text;
}

QString UsbTestbed::add(const Device &device)
{
    return addDescription(describe(device));
}

QString UsbTestbed::addHub(const QByteArray &port, int deviceNumber)
{
    Device hub;
    hub.port = port;
    hub.deviceNumber = deviceNumber;
    hub.vendorId = 0x1d6b;
    hub.productId = 0x0002;
    // Device descriptor (class 9, hub), then one configuration with one
    // interface and its interrupt endpoint.
    const QByteArray descriptors = QByteArray::fromHex("12010002090001406b1d0200000100000001"
                                                       "09021900010100e000"
                                                       "090400000109000000"
                                                       "0705810304000c");
    return addDescription(describe(hub) + "H: descriptors=" + descriptors.toHex() + "\n");
}

QString UsbTestbed::addDescription(const QByteArray &description)
{
    if (!m_testbed)
        return QString();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, description.constData(), &error)) {
        qWarning() << "umockdev:" << (error ? error->message : "unknown error");
        g_clear_error(&error);
        return QString();
    }
    // The first line is "P: <devpath>".
    const QByteArray devPath = description.left(description.indexOf('\n')).mid(3);
    return QStringLiteral("/sys") + QString::fromLatin1(devPath);
}

void UsbTestbed::remove(const QString &sysPath)
{
    if (!m_testbed)
        return;
    const QByteArray path = sysPath.toLocal8Bit();
    umockdev_testbed_uevent(m_testbed, path.constData(), "remove");
    umockdev_testbed_remove_device(m_testbed, path.constData());
}

QString UsbTestbed::rootDir() const
{
    if (!m_testbed)
        return QString();
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    const QString path = QString::fromLocal8Bit(root);
    g_free(root);
    return path;
}
