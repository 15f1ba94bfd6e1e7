#include "usbhotplugtranslator.h"

#include <QtTest>

namespace {

const QString guid = QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
const QString sysPath = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3");

// Properties as a udev "add" event of a USB device carries them (kernel
// uevent plus the udev database), and the sysfs attributes read with it.
UsbDeviceEvent recordedAdd()
{
    UsbDeviceEvent e;
    e.action = QStringLiteral("add");
    e.subsystem = QStringLiteral("usb");
    e.devType = QStringLiteral("usb_device");
    e.sysPath = sysPath;
    e.sysName = QStringLiteral("1-3");
    e.properties = {
        { "ACTION", "add" },
        { "DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-3" },
        { "SUBSYSTEM", "usb" },
        { "DEVNAME", "/dev/bus/usb/001/007" },
        { "DEVTYPE", "usb_device" },
        { "PRODUCT", "3b5d/8001/100" },
        { "TYPE", "0/0/0" },
        { "BUSNUM", "001" },
        { "DEVNUM", "007" },
        { "SEQNUM", "4411" },
        { "MAJOR", "189" },
        { "MINOR", "6" },
        { "ID_VENDOR_ID", "3b5d" },
        { "ID_MODEL_ID", "8001" },
        { "ID_SERIAL_SHORT", "0500A1B2" },
    };
    e.attributes = { { "idVendor", "3b5d" }, { "idProduct", "8001" }, { "serial", "0500A1B2" } };
    return e;
}

// What a "remove" event carries: the kernel's properties only (none of the
// udev database's ID_* ones), and no sysfs attributes (the device is gone).
UsbDeviceEvent recordedRemove()
{
    UsbDeviceEvent e = recordedAdd();
    e.action = QStringLiteral("remove");
    e.properties.insert(QStringLiteral("ACTION"), QStringLiteral("remove"));
    e.properties.insert(QStringLiteral("SEQNUM"), QStringLiteral("4420"));
    for (const QString &key : e.properties.keys())
        if (key.startsWith(QLatin1String("ID_")))
            e.properties.remove(key);
    e.attributes.clear();
    return e;
}

} // namespace

class UsbHotplugTest : public QObject
{
    Q_OBJECT
private slots:
    void interfacePath_data();
    void oddPortPaths();
    void interfacePath();
    void removalPath_data();
    void removalPath();
    void otherEventsAreIgnored_data();
    void otherEventsAreIgnored();
    void deviceWithoutIdsIsIgnored();
};

void UsbHotplugTest::interfacePath_data()
{
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("expected");

    QTest::newRow("bootloader") << 0x3B5D << 0x8001 << "0500A1B2"
                                << "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2" + guid;
    QTest::newRow("lower-case hex is upper-cased, serial kept")
        << 0xabcd << 0x00ef << "ab12" << "\\\\?\\USB#VID_ABCD&PID_00EF#ab12" + guid;
    QTest::newRow("zero-padded") << 0x1 << 0x2 << "X" << "\\\\?\\USB#VID_0001&PID_0002#X" + guid;
    QTest::newRow("no serial: port path") << 0x3B5D << 0x0016 << "" << "\\\\?\\USB#VID_3B5D&PID_0016#1-3.2" + guid;
    QTest::newRow("blank in serial: port path") << 0x3B5D << 0x0016 << "05 00" << "\\\\?\\USB#VID_3B5D&PID_0016#1-3.2" + guid;
    QTest::newRow("# in serial: port path") << 0x3B5D << 0x0016 << "05#00" << "\\\\?\\USB#VID_3B5D&PID_0016#1-3.2" + guid;
    QTest::newRow("comma in serial: port path") << 0x3B5D << 0x0016 << "05,00" << "\\\\?\\USB#VID_3B5D&PID_0016#1-3.2" + guid;
    QTest::newRow("non-ASCII serial: port path") << 0x3B5D << 0x0016 << QString::fromUtf8("05\xc3\xa9") << "\\\\?\\USB#VID_3B5D&PID_0016#1-3.2" + guid;
}

void UsbHotplugTest::oddPortPaths()
{
    // The window splits the path at '#': a port path stands in for a serial
    // only with such characters replaced.
    QCOMPARE(UsbHotplugTranslator::interfacePath(0x3B5D, 0x0016, QString(), QStringLiteral("1#3 2")),
             "\\\\?\\USB#VID_3B5D&PID_0016#1_3_2" + guid);
    QCOMPARE(UsbHotplugTranslator::interfacePath(0x3B5D, 0x0016, QString(), QString()),
             "\\\\?\\USB#VID_3B5D&PID_0016#_" + guid);
}

void UsbHotplugTest::interfacePath()
{
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(QString, serial);
    QFETCH(QString, expected);
    QCOMPARE(UsbHotplugTranslator::interfacePath(quint16(vendor), quint16(product), serial,
                                                 QStringLiteral("1-3.2")),
             expected);
}

// A removal carries no serial number: a device seen arriving, or present
// at start, is named as it was; one never seen is named from the kernel's
// PRODUCT, its port path standing in for the serial number.
void UsbHotplugTest::removalPath_data()
{
    QTest::addColumn<QString>("seen");
    QTest::addColumn<QString>("path");
    QTest::newRow("arrived before") << "arrival" << "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2";
    QTest::newRow("present at start") << "present" << "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2";
    QTest::newRow("never seen") << "never" << "\\\\?\\USB#VID_3B5D&PID_8001#1-3";
}

void UsbHotplugTest::removalPath()
{
    QFETCH(QString, seen);
    QFETCH(QString, path);
    UsbHotplugTranslator translator;
    UsbDeviceEvent present = recordedAdd();
    if (seen == QLatin1String("arrival")) {
        const auto arrival = translator.translate(present);
        QCOMPARE(arrival.kind, UsbHotplugTranslator::Arrival);
        QCOMPARE(arrival.interfacePath, path + guid);
    } else if (seen == QLatin1String("present")) {
        present.action.clear();
        translator.remember(present);
    }
    QCOMPARE(translator.knownDeviceCount(), seen == QLatin1String("never") ? 0 : 1);
    const auto removal = translator.translate(recordedRemove());
    QCOMPARE(removal.kind, UsbHotplugTranslator::Removal);
    QCOMPARE(removal.interfacePath, path + guid);
    QCOMPARE(translator.knownDeviceCount(), 0);
}

void UsbHotplugTest::otherEventsAreIgnored_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("subsystem");
    QTest::addColumn<QString>("devType");

    QTest::newRow("bind") << "bind" << "usb" << "usb_device";
    QTest::newRow("unbind") << "unbind" << "usb" << "usb_device";
    QTest::newRow("change") << "change" << "usb" << "usb_device";
    QTest::newRow("interface add") << "add" << "usb" << "usb_interface";
    QTest::newRow("interface remove") << "remove" << "usb" << "usb_interface";
    QTest::newRow("tty add") << "add" << "tty" << "";
}

void UsbHotplugTest::otherEventsAreIgnored()
{
    QFETCH(QString, action);
    QFETCH(QString, subsystem);
    QFETCH(QString, devType);

    UsbHotplugTranslator translator;
    UsbDeviceEvent event = recordedAdd();
    event.action = action;
    event.subsystem = subsystem;
    event.devType = devType;
    const auto change = translator.translate(event);
    QCOMPARE(change.kind, UsbHotplugTranslator::Ignored);
    QVERIFY(change.interfacePath.isEmpty());
    QCOMPARE(translator.knownDeviceCount(), 0);
}

void UsbHotplugTest::deviceWithoutIdsIsIgnored()
{
    UsbHotplugTranslator translator;
    UsbDeviceEvent event = recordedAdd();
    event.attributes.clear();
    event.properties.remove(QStringLiteral("ID_VENDOR_ID"));
    event.properties.insert(QStringLiteral("PRODUCT"), QStringLiteral("garbage"));
    QCOMPARE(translator.translate(event).kind, UsbHotplugTranslator::Ignored);

    // With only the udev database's identifiers the event is still usable.
    event.properties.insert(QStringLiteral("ID_VENDOR_ID"), QStringLiteral("3b5d"));
    const auto change = translator.translate(event);
    QCOMPARE(change.kind, UsbHotplugTranslator::Arrival);
    QCOMPARE(change.interfacePath, "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2" + guid);
}

QTEST_GUILESS_MAIN(UsbHotplugTest)
#include "tst_usbhotplug.moc"
