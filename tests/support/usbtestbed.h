#ifndef USBTESTBED_H
#define USBTESTBED_H

#include <QByteArray>
#include <QString>

typedef struct _UMockdevTestbed UMockdevTestbed;

// Emulated USB devices (umockdev). The test process must run under
// umockdev-wrapper; libudev and libusb inside it then see these devices.
class UsbTestbed
{
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed &) = delete;
    UsbTestbed &operator=(const UsbTestbed &) = delete;

    // False when the process does not run under umockdev-wrapper.
    bool isValid() const { return m_testbed != nullptr; }

    struct Device
    {
        QByteArray port = "1-3";        // kernel port path on bus 1
        int deviceNumber = 2;
        quint16 vendorId = 0x3B5D;
        quint16 productId = 0x0001;
        QByteArray serial;              // no serial attribute when empty
        QByteArray devType = "usb_device";
    };

    // Adds the device (which emits its "add" event); returns its sysfs path
    // or an empty string on failure.
    QString add(const Device &device);
    // Adds a USB hub (another vendor's) at `port`, so that libusb sees the
    // whole port path of the devices behind it ("1-2" for "1-2.3").
    QString addHub(const QByteArray &port, int deviceNumber);
    // Adds a device given in udev database form.
    QString addDescription(const QByteArray &description);
    // Emits the "remove" event, then takes the device away.
    void remove(const QString &sysPath);

    static QByteArray describe(const Device &device);

    UMockdevTestbed *handle() const { return m_testbed; }
    // The directory the testbed's sysfs and device nodes live in.
    QString rootDir() const;

private:
    UMockdevTestbed *m_testbed = nullptr;
};

#endif // USBTESTBED_H
