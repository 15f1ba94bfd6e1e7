#include "usbhotplugmonitor.h"

#include <QSocketNotifier>

#include <libudev.h>

namespace {

const char subsystem[] = "usb";
const char deviceType[] = "usb_device";
const char ttySubsystem[] = "tty";

QString text(const char *value)
{
    return value ? QString::fromUtf8(value) : QString();
}

} // namespace

UsbHotplugMonitor::UsbHotplugMonitor(QObject *parent)
    : QObject(parent)
{
}

UsbHotplugMonitor::~UsbHotplugMonitor()
{
    stop();
}

bool UsbHotplugMonitor::start()
{
    if (m_monitor)
        return true;

    m_udev = udev_new();
    if (!m_udev)
        return false;

    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor
        || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, subsystem, deviceType) < 0
        || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, ttySubsystem, nullptr) < 0
        || udev_monitor_enable_receiving(m_monitor) < 0) {
        stop();
        return false;
    }
    const int fd = udev_monitor_get_fd(m_monitor);
    if (fd < 0) {
        stop();
        return false;
    }

    rememberPresentDevices();

    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UsbHotplugMonitor::readEvents);
    return true;
}

void UsbHotplugMonitor::stop()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    m_monitor = nullptr;
    if (m_udev)
        udev_unref(m_udev);
    m_udev = nullptr;
}

UsbDeviceEvent UsbHotplugMonitor::eventFromDevice(udev_device *device)
{
    UsbDeviceEvent event;
    event.action = text(udev_device_get_action(device));
    event.subsystem = text(udev_device_get_subsystem(device));
    event.devType = text(udev_device_get_devtype(device));
    event.sysPath = text(udev_device_get_syspath(device));
    event.sysName = text(udev_device_get_sysname(device));

    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device))
        event.properties.insert(text(udev_list_entry_get_name(entry)),
                                text(udev_list_entry_get_value(entry)));

    // A removed device has no sysfs directory any more; reading its
    // attributes then simply yields nothing.
    if (event.action != QLatin1String("remove")) {
        for (const char *name : {"idVendor", "idProduct", "serial"}) {
            const char *value = udev_device_get_sysattr_value(device, name);
            if (value)
                event.attributes.insert(QLatin1String(name), text(value).trimmed());
        }
    }
    return event;
}

void UsbHotplugMonitor::rememberPresentDevices()
{
    udev_enumerate *enumerate = udev_enumerate_new(m_udev);
    if (!enumerate)
        return;
    udev_enumerate_add_match_subsystem(enumerate, subsystem);
    udev_enumerate_add_match_property(enumerate, "DEVTYPE", deviceType);
    if (udev_enumerate_scan_devices(enumerate) >= 0) {
        udev_list_entry *entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            udev_device *device = udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(entry));
            if (!device)
                continue;
            m_translator.remember(eventFromDevice(device));
            udev_device_unref(device);
        }
    }
    udev_enumerate_unref(enumerate);
}

void UsbHotplugMonitor::readEvents()
{
    // The monitor socket is non-blocking: drain every queued event.
    while (m_monitor) {
        udev_device *device = udev_monitor_receive_device(m_monitor);
        if (!device)
            break;
        const UsbDeviceEvent event = eventFromDevice(device);
        udev_device_unref(device);

        if (event.subsystem == QLatin1String(ttySubsystem)) {
            // Only ports of USB devices carry a vendor identifier.
            const bool comesOrGoes = event.action == QLatin1String("add") || event.action == QLatin1String("remove");
            if (comesOrGoes && event.properties.contains(QStringLiteral("ID_VENDOR_ID")))
                emit serialPortsChanged();
            continue;
        }

        const UsbHotplugTranslator::Change change = m_translator.translate(event);
        if (change.kind == UsbHotplugTranslator::Arrival)
            emit deviceArrived(change.interfacePath);
        else if (change.kind == UsbHotplugTranslator::Removal)
            emit deviceRemoved(change.interfacePath);
    }
}
