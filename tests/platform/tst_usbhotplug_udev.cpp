// The hot-plug monitor against the real libudev, with devices emulated by
// umockdev (the test runs under umockdev-wrapper).
#include "usbhotplugmonitor.h"
#include "usbtestbed.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
const QString guid = QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

class UsbHotplugUdevTest : public QObject
{
    Q_OBJECT
private slots:
    void arrivalAndRemovalOfDevice_data();
    void arrivalAndRemovalOfDevice();
    void devicePresentAtStartIsReportedOnRemoval();
    void interfacesAreIgnored();
};

// A device is named by its serial number, or by its port path without one.
void UsbHotplugUdevTest::arrivalAndRemovalOfDevice_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QString>("path");
    QTest::newRow("with a serial number") << QByteArray("0500A1B2") << QByteArray("1-3") << 0x8001
                                          << "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2";
    QTest::newRow("without one") << QByteArray() << QByteArray("1-4.2") << 0x0016
                                 << "\\\\?\\USB#VID_3B5D&PID_0016#1-4.2";
}

void UsbHotplugUdevTest::arrivalAndRemovalOfDevice()
{
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, port);
    QFETCH(int, productId);
    QFETCH(QString, path);
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");
    UsbHotplugMonitor monitor;
    QVERIFY(monitor.start());
    QSignalSpy arrived(&monitor, &UsbHotplugMonitor::deviceArrived);
    QSignalSpy removed(&monitor, &UsbHotplugMonitor::deviceRemoved);

    UsbTestbed::Device device;
    device.port = port;
    device.deviceNumber = 9;
    device.productId = quint16(productId);
    device.serial = serial;
    const QString sysPath = testbed.add(device);
    QVERIFY(!sysPath.isEmpty());
    QTRY_COMPARE(arrived.count(), 1);
    QCOMPARE(arrived.at(0).at(0).toString(), path + guid);

    testbed.remove(sysPath);
    QTRY_COMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).toString(), path + guid);
    QCOMPARE(arrived.count(), 1);
}

void UsbHotplugUdevTest::devicePresentAtStartIsReportedOnRemoval()
{
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    UsbTestbed::Device device;
    device.port = "1-5";
    device.deviceNumber = 11;
    device.serial = "03D0001";
    const QString sysPath = testbed.add(device);
    QVERIFY(!sysPath.isEmpty());

    UsbHotplugMonitor monitor;
    QVERIFY(monitor.start());
    QSignalSpy arrived(&monitor, &UsbHotplugMonitor::deviceArrived);
    QSignalSpy removed(&monitor, &UsbHotplugMonitor::deviceRemoved);
    QTest::qWait(100);
    QCOMPARE(arrived.count(), 0);

    testbed.remove(sysPath);
    QTRY_COMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).toString(), "\\\\?\\USB#VID_3B5D&PID_0001#03D0001" + guid);
}

void UsbHotplugUdevTest::interfacesAreIgnored()
{
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    UsbHotplugMonitor monitor;
    QVERIFY(monitor.start());
    QSignalSpy arrived(&monitor, &UsbHotplugMonitor::deviceArrived);
    QSignalSpy removed(&monitor, &UsbHotplugMonitor::deviceRemoved);

    UsbTestbed::Device device;
    device.port = "1-6";
    device.deviceNumber = 12;
    device.serial = "0500BEEF";
    const QString devicePath = testbed.add(device);
    QTRY_COMPARE(arrived.count(), 1);

    UsbTestbed::Device iface = device;
    iface.port = "1-6/1-6:1.0";
    iface.devType = "usb_interface";
    iface.serial.clear();
    const QString ifacePath = testbed.add(iface);
    QVERIFY(!ifacePath.isEmpty());
    testbed.remove(ifacePath);
    QTest::qWait(200);
    QCOMPARE(arrived.count(), 1);
    QCOMPARE(removed.count(), 0);

    testbed.remove(devicePath);
    QTRY_COMPARE(removed.count(), 1);
}

QTEST_GUILESS_MAIN(UsbHotplugUdevTest)
#include "tst_usbhotplug_udev.moc"
