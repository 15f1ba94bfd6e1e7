#ifndef DEVICEINVENTORY_H
#define DEVICEINVENTORY_H

#include "usb/usbdevicelist.h"

#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QVector>

struct libusb_context;

// One of the maker's devices on this computer, on the USB or the serial
// road, as the window's rows and vornic-cli's listing show it.
struct LocalDevice
{
    enum Road { Usb, Serial };
    Road road = Usb;
    // What names it: the USB port path ("1-3.2") or the serial port's name.
    QString id;
    QString text;                   // the row text
    QString serialNumber;
    bool accessible = true;
    int usbIndex = -1;              // into DeviceInventory::usb()
    QSerialPortInfo port;           // the serial road's port

    QString roadName() const { return road == Usb ? QStringLiteral("usb") : QStringLiteral("serial"); }
};

// The maker's devices on this computer: one look at the USB bus (a fresh
// libusb context each time, so that it sees the bus as it is) and at the
// serial ports, and which of them a name means. The window and vornic-cli
// list, and find the device a user named, through this alone. It owns the
// libusb context of its listings: the devices of the last listing are
// valid until the next one, or until it goes. No widgets.
class DeviceInventory
{
public:
    DeviceInventory() = default;
    ~DeviceInventory();
    DeviceInventory(const DeviceInventory &) = delete;
    DeviceInventory &operator=(const DeviceInventory &) = delete;

    // Lists the USB devices afresh (the entries of the last listing are
    // released); `wanted` and `trace` as UsbDeviceList::enumerate takes
    // them. Returns what enumerate returned, or the libusb_init error.
    int listUsb(const UsbDeviceList::Wanted &wanted = UsbDeviceList::Wanted(),
                const UsbDeviceList::Trace &trace = UsbDeviceList::Trace());
    // listUsb and the maker's serial ports, into local(). A port without a
    // serial number cannot be matched with its bootloader and is left out
    // (`leftOut` gets it).
    void listLocal(const UsbDeviceList::Wanted &wanted = UsbDeviceList::Wanted(),
                   QList<QSerialPortInfo> *leftOut = nullptr);
    void release();
    // A libusb context now, before any listing (the window says at once
    // when there is none): 0, or libusb_init's error.
    int open();

    const QVector<UsbDeviceEntry> &usb() const { return m_usb; }
    const QVector<LocalDevice> &local() const { return m_local; }
    // Counts the USB listings: an entry's device is only valid while this
    // has not moved on.
    quint64 generation() const { return m_generation; }

    // The listed devices `name` means: a USB port path, a serial port (with
    // or without "/dev/"), or a serial number.
    QVector<LocalDevice> matches(const QString &name) const;

    // The serial ports of the maker's devices.
    static QList<QSerialPortInfo> makerSerialPorts();
    // A serial port as a row: its text, marked "(no access)" when this user
    // may not open it.
    static LocalDevice serialDevice(const QSerialPortInfo &port);

private:
    libusb_context *m_context = nullptr;
    QVector<UsbDeviceEntry> m_usb;
    QVector<LocalDevice> m_local;
    quint64 m_generation = 0;
};

#endif // DEVICEINVENTORY_H
