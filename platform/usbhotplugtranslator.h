#ifndef USBHOTPLUGTRANSLATOR_H
#define USBHOTPLUGTRANSLATOR_H

#include "usbdeviceevent.h"

#include <QHash>
#include <QString>

// Turns udev events for USB devices into arrivals and removals carrying the
// device interface path that the window's hot-plug logic parses:
//   \\?\USB#VID_xxxx&PID_xxxx#<serial>#{A5DCBF10-6530-11D2-901F-00C04FB951ED}
// A removed device's sysfs attributes are gone by the time its event arrives,
// so the path built at arrival (or when the monitor started) is remembered
// and reported again at removal.
class UsbHotplugTranslator
{
public:
    enum Kind { Ignored, Arrival, Removal };

    struct Change
    {
        Kind kind = Ignored;
        QString interfacePath;
    };

    // The interface path of a device. `serial` is used when Windows would
    // accept it as part of a device instance path; otherwise (empty, or with
    // blanks, control characters, non-ASCII, ',' or '#') the port path stands
    // in for it, any such character of its own replaced by '_'.
    static QString interfacePath(quint16 vendorId, quint16 productId,
                                 const QString &serial, const QString &portPath);

    // Records a device that was present before any event (no action).
    void remember(const UsbDeviceEvent &device);

    Change translate(const UsbDeviceEvent &event);

    int knownDeviceCount() const { return m_paths.size(); }

private:
    static bool isUsbDevice(const UsbDeviceEvent &event);
    static QString pathFor(const UsbDeviceEvent &event);

    QHash<QString, QString> m_paths;  // sysfs path -> interface path
};

#endif // USBHOTPLUGTRANSLATOR_H
