// Plugging and unplugging emulated USB devices while the Vornic window runs:
// the lines reach the trace window through the real udev monitor.
#include "cmndialog.h"

#include "privatesettings.h"
#include "usbtestbed.h"

#include <QPlainTextEdit>
#include <QtTest>

class HotplugWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void plugAndUnplugAreTraced();
};

void HotplugWindowTest::plugAndUnplugAreTraced()
{
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");

    CMNDialog window;
    auto *trace = window.findChild<QPlainTextEdit *>();
    QVERIFY(trace);
    QVERIFY(trace->toPlainText().isEmpty());

    UsbTestbed::Device device;
    device.productId = 0x8001;
    device.serial = "0500A1B2";
    QTest::ignoreMessage(QtDebugMsg, " VID_3B5D&PID_8001 0500A1B2 device connected");
    const QString sysPath = testbed.add(device);
    QTRY_COMPARE(trace->toPlainText(), QStringLiteral(" VID_3B5D&PID_8001 0500A1B2 device connected"));

    // Devices of other makers are traced too; only the listing filters.
    UsbTestbed::Device other;
    other.port = "1-7";
    other.deviceNumber = 5;
    other.vendorId = 0x1D6B;
    other.productId = 0x0002;
    QTest::ignoreMessage(QtDebugMsg, " VID_1D6B&PID_0002 1-7 device connected");
    testbed.add(other);

    QTest::ignoreMessage(QtDebugMsg, " VID_3B5D&PID_8001 0500A1B2 device disconnected");
    testbed.remove(sysPath);
    QTRY_COMPARE(trace->toPlainText(),
                 QStringLiteral(" VID_3B5D&PID_8001 0500A1B2 device connected\n"
                                " VID_1D6B&PID_0002 1-7 device connected\n"
                                " VID_3B5D&PID_8001 0500A1B2 device disconnected"));
}

QTEST_MAIN(HotplugWindowTest)
#include "tst_hotplug_window.moc"
