// The emulated DFU device seen through the real libusb (under
// umockdev-wrapper): what the programs will talk to must behave like a
// device.
#include "emulateddfudevice.h"
#include "usbtestbed.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <libusb.h>

class EmulatedDfuDeviceTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void enumeratedWithDescriptorsAndStrings();
    void downloadThroughLibusb();
    void injectedFaults();
    void outsideHostDownloads_data();
    void outsideHostDownloads();

private:
    libusb_device_handle *openOnly(libusb_device **device = nullptr);

    libusb_context *m_context = nullptr;
};

void EmulatedDfuDeviceTest::init()
{
    m_context = nullptr;
}

void EmulatedDfuDeviceTest::cleanup()
{
    if (m_context)
        libusb_exit(m_context);
    m_context = nullptr;
}

libusb_device_handle *EmulatedDfuDeviceTest::openOnly(libusb_device **found)
{
    // A fresh context sees the devices plugged so far.
    if (m_context)
        libusb_exit(m_context);
    if (libusb_init(&m_context) != 0)
        return nullptr;
    libusb_device *device = EmulatedDfuDevice::findOnBus(m_context);
    libusb_device_handle *handle = nullptr;
    if (device && libusb_open(device, &handle) == 0 && found)
        *found = libusb_ref_device(device);
    if (device)
        libusb_unref_device(device);
    return handle;
}

void EmulatedDfuDeviceTest::enumeratedWithDescriptorsAndStrings()
{
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");
    EmulatedDfuDevice::Config config;
    config.at("1-4", 5);
    config.transferSize = 4096;
    EmulatedDfuDevice emulated(config);
    QVERIFY(!emulated.plug(testbed).isEmpty());

    libusb_device *device = nullptr;
    libusb_device_handle *handle = openOnly(&device);
    QVERIFY(handle);
    QCOMPARE(int(libusb_get_bus_number(device)), 1);
    QCOMPARE(int(libusb_get_port_number(device)), 4);

    libusb_device_descriptor descriptor;
    QCOMPARE(libusb_get_device_descriptor(device, &descriptor), 0);
    QCOMPARE(descriptor.idProduct, quint16(0x8001));
    unsigned char text[128] = {};
    QCOMPARE(libusb_get_string_descriptor_ascii(handle, descriptor.iProduct, text, sizeof text), 6);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(text)), QByteArray("GW NET"));
    QCOMPARE(libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text), 8);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(text)), QByteArray("0500A1B2"));

    libusb_config_descriptor *configuration = nullptr;
    QCOMPARE(libusb_get_config_descriptor(device, 0, &configuration), 0);
    const libusb_interface_descriptor &alt = configuration->interface[0].altsetting[0];
    QCOMPARE(int(alt.bInterfaceClass), 0xFE);
    QCOMPARE(int(alt.bInterfaceSubClass), 0x01);
    QCOMPARE(alt.extra_length, 9);
    QCOMPARE(int(alt.extra[1]), 0x21);
    QCOMPARE(alt.extra[5] | (alt.extra[6] << 8), 4096);
    libusb_free_config_descriptor(configuration);

    unsigned char version[10] = {};
    QCOMPARE(libusb_control_transfer(handle, 0xC0, 0x80, 0, 0, version, 10, 300), 10);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(version), 3), QByteArray::fromHex("020106"));

    libusb_close(handle);
    libusb_unref_device(device);
    emulated.unplug(testbed);
}

void EmulatedDfuDeviceTest::downloadThroughLibusb()
{
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice::Config config;
    config.busyPolls = 2;
    EmulatedDfuDevice emulated(config);
    QVERIFY(!emulated.plug(testbed).isEmpty());
    libusb_device_handle *handle = openOnly();
    QVERIFY(handle);
    QCOMPARE(libusb_claim_interface(handle, 0), 0);

    QByteArray image(1500, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7);
    int block = 0;
    for (int offset = 0; offset < image.size(); offset += 1024, ++block) {
        QByteArray chunk = image.mid(offset, 1024);
        QCOMPARE(libusb_control_transfer(handle, 0x21, 1, block, 0,
                                         reinterpret_cast<unsigned char *>(chunk.data()), chunk.size(), 5000),
                 chunk.size());
        unsigned char status[6] = {};
        int polls = 0;
        do {
            QCOMPARE(libusb_control_transfer(handle, 0xA1, 3, 0, 0, status, 6, 5000), 6);
            ++polls;
        } while (status[4] == EmulatedDfuDevice::DfuDnbusy);
        QCOMPARE(int(status[4]), int(EmulatedDfuDevice::DfuDnloadIdle));
        QCOMPARE(polls, 3);
    }
    QCOMPARE(libusb_control_transfer(handle, 0x21, 1, block, 0, nullptr, 0, 5000), 0);
    QCOMPARE(emulated.downloaded(), image);
    QCOMPARE(emulated.state(), EmulatedDfuDevice::DfuManifestSync);

    const auto requests = emulated.requests();
    QVERIFY(!requests.isEmpty());
    QCOMPARE(int(requests.last().request), 1);
    QCOMPARE(int(requests.last().value), 2);
    QCOMPARE(int(requests.last().length), 0);

    // Once idle again, a new download replaces what the device held, as its
    // flash would; a block after an ABORT starts one too.
    unsigned char status[6] = {};
    QCOMPARE(libusb_control_transfer(handle, 0xA1, 3, 0, 0, status, 6, 5000), 6);
    QCOMPARE(int(status[4]), int(EmulatedDfuDevice::DfuIdle));
    for (const char fill : { 'a', 'b' }) {
        QByteArray block(100, fill);
        QCOMPARE(libusb_control_transfer(handle, 0x21, 1, 0, 0, reinterpret_cast<unsigned char *>(block.data()),
                                         block.size(), 5000),
                 block.size());
        QCOMPARE(libusb_control_transfer(handle, 0x21, 6, 0, 0, nullptr, 0, 5000), 0);
        QCOMPARE(emulated.downloaded(), block);
    }

    libusb_release_interface(handle, 0);
    libusb_close(handle);
    emulated.unplug(testbed);
}

void EmulatedDfuDeviceTest::injectedFaults()
{
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice::Config config;
    config.versionReply.clear();
    config.shortStatusReply = true;
    config.errorOnBlock = 0;
    EmulatedDfuDevice emulated(config);
    QVERIFY(!emulated.plug(testbed).isEmpty());
    libusb_device_handle *handle = openOnly();
    QVERIFY(handle);

    unsigned char buffer[10] = {};
    QCOMPARE(libusb_control_transfer(handle, 0xC0, 0x80, 0, 0, buffer, 10, 300), int(LIBUSB_ERROR_PIPE));
    QCOMPARE(libusb_control_transfer(handle, 0x21, 1, 0, 0, buffer, 4, 5000), 4);
    QCOMPARE(libusb_control_transfer(handle, 0xA1, 3, 0, 0, buffer, 6, 5000), 5);
    QCOMPARE(emulated.state(), EmulatedDfuDevice::DfuError);
    // A second block in dfuERROR is refused with a STALL.
    QCOMPARE(libusb_control_transfer(handle, 0x21, 1, 1, 0, buffer, 4, 5000), int(LIBUSB_ERROR_PIPE));

    libusb_close(handle);
    emulated.unplug(testbed);
}

void EmulatedDfuDeviceTest::outsideHostDownloads_data()
{
    QTest::addColumn<bool>("fast");
    QTest::newRow("through umockdev") << false;
    QTest::newRow("through the fast channel") << true;
}

void EmulatedDfuDeviceTest::outsideHostDownloads()
{
    // An independent DFU host, the Debian dfu-util, lists the emulated device
    // and downloads an image into it: the emulation is faithful enough for a
    // host that was not written against it, by either road to the device.
    QFETCH(bool, fast);
    const QString dfuUtil = QStandardPaths::findExecutable(QStringLiteral("dfu-util"));
    QVERIFY2(!dfuUtil.isEmpty(), "dfu-util is not installed");
    EmulatedDfuDevice::setFastChannels(fast);
    const auto fastOff = qScopeGuard([] { EmulatedDfuDevice::setFastChannels(false); });

    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice::Config config;
    config.busyPolls = 1;
    EmulatedDfuDevice emulated(config);
    QVERIFY(!emulated.plug(testbed).isEmpty());

    QTemporaryDir dir;
    QByteArray image(5000, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 13) ^ (i >> 8));
    QFile file(dir.filePath(QStringLiteral("image.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image);
    file.close();

    const auto run = [&](const QStringList &arguments, QByteArray *output) {
        QProcess process;
        // The child needs the testbed's location and the preload library.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (fast)
            environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAST_USB_SHIM ":")
                                                                 + environment.value(QStringLiteral("LD_PRELOAD")));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(dfuUtil, arguments);
        // Keep this thread's event loop turning while the child talks to the
        // device.
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 20000);
        *output = process.readAll();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    };

    QByteArray listing;
    run({ QStringLiteral("-l") }, &listing);
    QVERIFY2(listing.contains("[3b5d:8001]"), listing.constData());
    QVERIFY2(listing.contains("serial=\"0500A1B2\""), listing.constData());

    QByteArray download;
    run({ QStringLiteral("-d"), QStringLiteral("3b5d:8001"), QStringLiteral("-D"), file.fileName() }, &download);
    QCOMPARE(emulated.downloaded(), image);
    // Every block, its status polls and the end took the road asked for.
    const int transfers = emulated.fastTransfers();
    if (fast)
        QVERIFY2(transfers > 3 * (image.size() / 1024), qPrintable(QString::number(transfers)));
    else
        QCOMPARE(transfers, 0);
}

QTEST_GUILESS_MAIN(EmulatedDfuDeviceTest)
#include "tst_emulateddfudevice.moc"
