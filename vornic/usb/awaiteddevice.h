#ifndef AWAITEDDEVICE_H
#define AWAITEDDEVICE_H

#include <QSet>
#include <QString>

// What an update knows of a device it has told to restart into its USB
// bootloader, so that the device that comes back is the device that left and
// no other. Filled in on the thread that tells the device; read when USB
// devices arrive.
struct AwaitedDevice
{
    enum Mode {
        Nothing = -1,
        // Told "boot" over its serial port: known again by its serial number.
        AfterSerialBoot = 0,
        // Sent a DFU DETACH: known again by the USB port it sits on.
        AfterDetach = 1
    };

    int mode = Nothing;
    // After a serial boot: the serial number of the port that was told.
    QString serialNumber;
    // After a detach: the whole port path of the detached device, as
    // UsbDeviceList::portPath() gives it ("<bus>-<port>[.<port>...]").
    QString portPath;
    // UsbDeviceList::presenceKey() of every device on the bus just before the
    // device was told to restart. None of them is the device coming back.
    QSet<QString> present;
};

#endif // AWAITEDDEVICE_H
