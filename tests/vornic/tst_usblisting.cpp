// The window's USB listing against emulated devices (runs under
// umockdev-wrapper): row texts, user data, trace lines.
#include "cmndialog.h"

#include "emulateddfudevice.h"
#include "privatesettings.h"
#include "usbtestbed.h"
#include "vornicwidgets.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QtTest>

#include <libusb.h>

#include <memory>
#include <vector>

class UsbListingTest : public QObject
{
    Q_OBJECT
private slots:
    void rowTexts_data();
    void rowTexts();
    void otherVendorsAndComPortVariantsGiveNothing();
    void rowsCarryTheirDevice();
    void deviceThatCannotBeOpened();
};

void UsbListingTest::rowTexts_data()
{
    QTest::addColumn<QByteArray>("product");
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QString>("expected");

    const QByteArray v612 = QByteArray::fromHex("060c0100000000000000");
    QTest::newRow("NET becomes Net") << QByteArray("GW NET") << QByteArray("0500A1B2") << 0x0001
                                     << QByteArray::fromHex("02010600000000000000")
                                     << "GW Net S/N: 0500A1B2 v.6.1.2";
    QTest::newRow("NE? becomes Net") << QByteArray("GW NE\xe9") << QByteArray("0500A1B2") << 0x0001 << v612
                                     << "GW Net S/N: 0500A1B2 v.1.0.6";
    QTest::newRow("only the first rule") << QByteArray("NETNE\xe9") << QByteArray("X") << 0x0001 << v612
                                         << "NetNE? S/N: X v.1.0.6";
    QTest::newRow("no strings") << QByteArray() << QByteArray() << 0x0001 << v612 << " v.1.0.6";
    QTest::newRow("bootloader") << QByteArray("GW NET") << QByteArray("0500A1B2") << 0x8001 << v612
                                << "GW Net S/N: 0500A1B2 bootloader";
    QTest::newRow("bootloader, request fails") << QByteArray("GW NET") << QByteArray("0500A1B2") << 0x8001
                                               << QByteArray() << "GW Net S/N: 0500A1B2";
    QTest::newRow("request fails, no strings") << QByteArray() << QByteArray() << 0x0001 << QByteArray() << "";
}

void UsbListingTest::rowTexts()
{
    QFETCH(QByteArray, product);
    QFETCH(QByteArray, serial);
    QFETCH(int, productId);
    QFETCH(QByteArray, version);
    QFETCH(QString, expected);

    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");
    EmulatedDfuDevice::Config config;
    config.product = product;
    config.serial = serial;
    config.productId = quint16(productId);
    config.versionReply = version;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());

    CMNDialog window;
    QCOMPARE(ui(&window).rowTexts(), QStringList({ expected }));
    auto *trace = window.findChild<QPlainTextEdit *>();
    QCOMPARE(trace->toPlainText(),
             QStringLiteral("Get device with vid = 15197, pid = %1!\nadd %2 to list").arg(productId).arg(expected));
}

void UsbListingTest::otherVendorsAndComPortVariantsGiveNothing()
{
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice::Config other;
    other.vendorId = 0x1D6B;
    EmulatedDfuDevice foreign(other);
    QVERIFY(!foreign.plug(testbed).isEmpty());
    EmulatedDfuDevice::Config comPort;
    comPort.port = "1-4";
    comPort.deviceNumber = 3;
    comPort.deviceClass = 2;
    EmulatedDfuDevice variant(comPort);
    QVERIFY(!variant.plug(testbed).isEmpty());

    CMNDialog window;
    QVERIFY(ui(&window).rowTexts().isEmpty());
    QVERIFY(window.findChild<QPlainTextEdit *>()->toPlainText().isEmpty());
    QVERIFY2(foreign.requests().isEmpty() && variant.requests().isEmpty(), "they were not even opened");
}

void UsbListingTest::rowsCarryTheirDevice()
{
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    std::vector<std::unique_ptr<EmulatedDfuDevice>> devices;
    for (int i = 0; i < 2; ++i) {
        EmulatedDfuDevice::Config config;
        config.at(QByteArray("1-") + QByteArray::number(5 + i), 10 + i);
        devices.emplace_back(new EmulatedDfuDevice(config));
        QVERIFY(!devices.back()->plug(testbed).isEmpty());
    }

    CMNDialog window;
    auto *list = window.findChild<QListWidget *>(QStringLiteral("listWidget"));
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(), list->item(1)->text());
    QList<int> ports;
    for (int row = 0; row < 2; ++row) {
        const QVariant data = list->item(row)->data(Qt::UserRole);
        QCOMPARE(data.userType(), qMetaTypeId<quintptr>());
        auto *device = reinterpret_cast<libusb_device *>(data.value<quintptr>());
        QVERIFY(device);
        ports << libusb_get_port_number(device);
    }
    std::sort(ports.begin(), ports.end());
    QCOMPARE(ports, QList<int>({ 5, 6 }));
    QCOMPARE(list->currentRow(), 0);

    // Refreshing many times re-creates the rows without piling up device
    // references (the sanitizer build checks the releases).
    for (int i = 0; i < 50; ++i)
        window.enumDevices();
    QCOMPARE(list->count(), 2);
}

void UsbListingTest::deviceThatCannotBeOpened()
{
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    // Announced and described, but without a device node to open.
    UsbTestbed::Device device;
    device.productId = 0x8001;
    device.serial = "0500A1B2";
    EmulatedDfuDevice::Config config;
    config.productId = device.productId;
    QByteArray description = UsbTestbed::describe(device);
    description.replace("N: bus/usb/001/002\n", "");
    description += "A: bConfigurationValue=1\nH: descriptors=" + EmulatedDfuDevice(config).descriptors().toHex() + "\n";
    QVERIFY(!testbed.addDescription(description).isEmpty());

    CMNDialog window;
    QVERIFY(ui(&window).rowTexts().isEmpty());
    QCOMPARE(window.findChild<QPlainTextEdit *>()->toPlainText(),
             QStringLiteral("Get device with vid = 15197, pid = 32769!\n"
                            "Unable to access the device with vid = 15197, pid = 32769!"));
}

QTEST_MAIN(UsbListingTest)
#include "tst_usblisting.moc"
