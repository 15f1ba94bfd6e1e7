#ifndef USBHOTPLUGMONITOR_H
#define USBHOTPLUGMONITOR_H

#include "usbhotplugtranslator.h"

#include <QObject>

class QSocketNotifier;
struct udev;
struct udev_device;
struct udev_monitor;

// Reports USB device arrivals and removals on the thread that owns it (the
// GUI thread), each with the device's interface path. Listens to udev's
// netlink monitor for subsystem "usb", device type "usb_device".
//
// A USB serial port appears a little after its USB device (once the
// device's serial driver has bound), so it is usually not there yet when the
// device's arrival is handled. The monitor therefore also reports when a
// USB-backed serial port comes or goes.
class UsbHotplugMonitor : public QObject
{
    Q_OBJECT
public:
    explicit UsbHotplugMonitor(QObject *parent = nullptr);
    ~UsbHotplugMonitor() override;

    // Connects to udev and starts listening; false when that is impossible
    // (no netlink socket, no udev library context). Devices already present
    // are remembered so that their removal can be reported with their path.
    bool start();
    bool isActive() const { return m_monitor != nullptr; }

    static UsbDeviceEvent eventFromDevice(udev_device *device);

signals:
    void deviceArrived(const QString &interfacePath);
    void deviceRemoved(const QString &interfacePath);
    void serialPortsChanged();

private:
    void readEvents();
    void rememberPresentDevices();
    void stop();

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    UsbHotplugTranslator m_translator;
};

#endif // USBHOTPLUGMONITOR_H
