// vornic-cli run as a user runs it, as its own process, against an emulated
// USB device, an emulated serial-port device and a simulated network device
// (runs under umockdev-wrapper; the child reaches the emulated devices
// through the testbed this process made).
#include "testimage.h"
#include "filenames.h"
#include "clirun.h"
#include "csvreader.h"
#include "safetext.h"
#include "delayrelay.h"
#include "emulateddfudevice.h"
#include "firmwareimage.h"
#include "scriptedpeer.h"
#include "simulateddevice.h"
#include "postgresserver.h"
#include "usbtestbed.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {

using Outcome = CliRun;

// A Dongara on USB port 1-3, in its application or in its bootloader.
EmulatedDfuDevice::Config usbDongara(bool bootloader)
{
    EmulatedDfuDevice::Config config;
    config.productId = bootloader ? 0x8015 : 0x0015;
    config.product = "Dongara NET";
    config.serial = "04E2B9C1";
    config.initialState = bootloader ? EmulatedDfuDevice::DfuIdle : EmulatedDfuDevice::AppIdle;
    return config;
}

// A device with a serial port (USB port 1-4, tty ttyACM0) in its application.
EmulatedDfuDevice::Config serialPortDevice(quint16 productId, const QByteArray &serial)
{
    EmulatedDfuDevice::Config config = usbDongara(false);
    config.at("1-4", 5);
    config.productId = productId;
    config.deviceClass = 2;
    config.product = "Dongara";
    config.serial = serial;
    config.ttyName = "ttyACM0";
    return config;
}

// The Dongara a read or a backup reaches: in its bootloader, its
// application, or with a serial port (a tty of this process's own, `tty` of
// a few numbers apart).
EmulatedDfuDevice::Config readableDongara(const QString &mode, int tty)
{
    const bool serial = mode == QLatin1String("serial port");
    EmulatedDfuDevice::Config config = serial ? serialPortDevice(0x0015, "04E2C3D4")
                                              : usbDongara(mode != QLatin1String("application"));
    // Left in the middle of an upload by a read that was killed.
    if (mode == QLatin1String("left uploading"))
        config.initialState = EmulatedDfuDevice::DfuUploadIdle;
    if (serial)
        config.ttyName = "ttyACM" + QByteArray::number(tty + 2 * (QCoreApplication::applicationPid() % 5000));
    return config;
}

// A Dongara alike in all but its port (1-6) and serial number (04E2B9C9), in
// its bootloader, holding `holds`: the device a test must not confuse with
// the one it names.
EmulatedDfuDevice::Config besideDongara(const QByteArray &holds)
{
    EmulatedDfuDevice::Config config = usbDongara(true);
    config.at("1-6", 9);
    config.serial = "04E2B9C9";
    config.canUpload = true;
    config.holds = holds;
    return config;
}

NetworkDeviceSimulator::Options networkDongara()
{
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.serialNumber = "04E2E5F6";
    return options;
}

} // namespace

class VornicCliTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void updateEveryRoad_data();
    void updateEveryRoad();
    void exitCodes_data();
    void exitCodes();
    void interruptedDownloadAborts_data();
    void interruptedDownloadAborts();
    void interruptedUploadStops();
    void signalDuringTheCheck_data();
    void signalDuringTheCheck();
    void signalWhileADeviceDribbles();
    void jsonListing();
    void verifyOutcomes_data();
    void verifyOutcomes();
    void severalDevicesAtOnce();
    void historyKeepsEveryUpdate_data();
    void historyKeepsEveryUpdate();
    void parentDies_data();
    void parentDies();
    void deviceTextIsData_data();
    void deviceTextIsData();
    void station_data();
    void station();
    void read_data();
    void read();
    void backupAndRestore_data();
    void backupAndRestore();

private:
    // Runs vornic-cli; `whileRunning` is called once it has started.
    Outcome run(const QStringList &arguments, const std::function<void(QProcess &)> &whileRunning = {});
    QString writeImage(const QString &name, const QByteArray &bytes);

    QTemporaryDir m_dir;
    // Each test's own update history, so that it reads back its rows alone.
    std::unique_ptr<QTemporaryDir> m_data;
};

void VornicCliTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Names that are not UTF-8 reach the program byte for byte.
    FileNames::install();
}

void VornicCliTest::init()
{
    m_data.reset(new QTemporaryDir);
    QVERIFY(m_data->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data->path()));
}

QString VornicCliTest::writeImage(const QString &name, const QByteArray &bytes)
{
    return TestImage::store(m_dir.path(), name, bytes);
}

Outcome VornicCliTest::run(const QStringList &arguments, const std::function<void(QProcess &)> &whileRunning)
{
    return CliRun::run(QStringLiteral(VORNIC_CLI), arguments, whileRunning);
}

// Each road end to end: the bytes arrive intact and the exit code is 0.
void VornicCliTest::updateEveryRoad_data()
{
    QTest::addColumn<QString>("road");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("USB by port path, two phases") << "usb" << "1-3" << QStringList();
    QTest::newRow("USB by serial number") << "usb" << "04E2B9C1" << QStringList();
    QTest::newRow("serial port, boot then DFU") << "serial" << "/dev/ttyACM0" << QStringList();
    QTest::newRow("network, checked, rebooted") << "network" << "" << QStringList { "--reboot" };
    QTest::newRow("network, checked, image closed") << "network" << "" << QStringList();
    // A reader that leaves early (| head -1) never cuts the transfer short.
    QTest::newRow("USB, output closed early") << "usb" << "1-3" << QStringList { "|head" };
    // A pin in capitals is the same hash.
    QTest::newRow("USB, pinned by its SHA-256 in capitals")
        << "usb" << "1-3"
        << QStringList { "--sha256", QString::fromLatin1(QCryptographicHash::hash(TestImage::bytes(40 * 1024 + 17),
                                                                                  QCryptographicHash::Sha256)
                                                             .toHex()
                                                             .toUpper()) };
}

void VornicCliTest::updateEveryRoad()
{
    QFETCH(QString, road);
    QFETCH(QString, device);
    QFETCH(QStringList, options);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const QByteArray image = TestImage::bytes(40 * 1024 + 17);
    const QString path = writeImage(QStringLiteral("DG_ROAD.IN2"), image);

    EmulatedDfuDevice usb(usbDongara(false));
    EmulatedDfuDevice serial(serialPortDevice(0x0015, "04E2C3D4"));
    // A Dongara beside them, at another port with another serial number,
    // which none of the roads may open.
    EmulatedDfuDevice::Config besideConfig = usbDongara(true);
    besideConfig.at("1-6", 10);
    besideConfig.serial = "04E2A1B7";
    EmulatedDfuDevice beside(besideConfig);
    QVERIFY(!usb.plug(testbed).isEmpty());
    QVERIFY(!serial.plug(testbed).isEmpty());
    QVERIFY(!beside.plug(testbed).isEmpty());
    SimulatedDevice network(networkDongara());
    QVERIFY(network.isListening());
    if (road == QLatin1String("network"))
        device = QStringLiteral("127.0.0.1:%1").arg(network.port());
    // A program that holds the USB device's serial number as its local
    // server name is told before the device is, as the window does.
    QLocalServer::removeServer(QStringLiteral("04E2B9C1"));
    QLocalServer companion;
    QVERIFY(companion.listen(QStringLiteral("04E2B9C1")));

    const bool piped = options.removeAll(QStringLiteral("|head")) > 0;
    const CliRun outcome = piped ? CliRun::run(QStringLiteral("bash"), CliRun::intoClosedPipe(QStringLiteral(VORNIC_CLI),
                                                                                    { "update", device, path }))
                                 : CliRun::run(QStringLiteral(VORNIC_CLI), QStringList { "update", device, path } + options);
    QCOMPARE(companion.hasPendingConnections(), road == QLatin1String("usb"));
    QVERIFY2(outcome.code == 0, outcome.err.constData());
    QVERIFY(outcome.err.isEmpty());
    // Not a terminal: plain progress lines, ending whole.
    QVERIFY2(piped ? outcome.out.count('\n') == 1
                   : outcome.out.contains("Updated ") && outcome.out.contains("progress 100%\n"),
             outcome.out.constData());

    const QByteArray nothing;
    QCOMPARE(usb.downloaded(), road == QLatin1String("usb") ? image : nothing);
    QCOMPARE(serial.downloaded(), road == QLatin1String("serial") ? image : nothing);
    QCOMPARE(network.checkedImage(), road == QLatin1String("network") ? image : nothing);
    QCOMPARE(beside.requests().size(), 0);
    if (road == QLatin1String("usb")) {
        QVERIFY(usb.detachReceived());
        QCOMPARE(usb.reenumerations(), 1);
    }
    if (road == QLatin1String("serial"))
        QCOMPARE(serial.serialReceived(), QByteArray("boot\n"));
    if (road == QLatin1String("network")) {
        const QString journal = network.journal().join('\n');
        const bool rebooted = options.contains(QStringLiteral("--reboot"));
        // "boot" alone; the check's "boot v" asks for the bootloader's version.
        const QRegularExpression reboot(QStringLiteral("command boot$"), QRegularExpression::MultilineOption);
        QCOMPARE(journal.contains(reboot), rebooted);
        // Without the reboot the device is told that no image follows, as the
        // window's Cancel does: "start I0" once for the upload, once after.
        QCOMPARE(journal.count(QLatin1String("start I0")), rebooted ? 1 : 2);
    }
    beside.unplug(testbed);
    serial.unplug(testbed);
    usb.unplug(testbed);
}

// One run per failure class: the exit code, and one sentence on stderr.
void VornicCliTest::exitCodes_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    QTest::newRow("usage") << "usage" << 2 << "see vornic-cli --help";
    QTest::newRow("no such device") << "missing" << 3 << "No Ordane device 9-9";
    QTest::newRow("nothing at the address") << "no network device" << 3
                                            << "Can't find an Ordane device at ip: 127.0.0.1:1 (no connection).";
    QTest::newRow("address that is not one") << "bad address" << 2 << "Not an address: 300.1.1.1 (";
    // Addresses of no single device.
    for (const char *address : { "0.0.0.0", "255.255.255.255", "224.0.0.1:10102" })
        QTest::addRow("address %s", address) << QStringLiteral("address ") + address << 2
                                             << QStringLiteral("Not an address: ") + address + QStringLiteral(" (");
    QTest::newRow("--ip beside a named device") << "ip beside device" << 2 << "--ip goes with list and update --all";
    // A listing that lists devices succeeds, and says which address did not answer.
    QTest::newRow("list, one address silent") << "list with one silent" << 0
                                              << "Can't find an Ordane device at ip: 127.0.0.1:1 (no connection).";
    // The network takes what any road takes (past 1 MiB too), and no more.
    QTest::newRow("image past what any device takes") << "too large" << 5 << "it is larger than 256 MiB";
    QTest::newRow("image missing") << "no image" << 2 << "The firmware image is missing";
    QTest::newRow("an option of history only") << "history option" << 2 << "--limit goes with history only";
    // Two updates of one device at once are never started.
    QTest::newRow("one device named twice") << "twice" << 2
                                            << "1-3 and 04E2B9C1 name the same device; name each device once.";
    // Two addresses that reach one device (a forwarder): one writer only.
    QTest::newRow("two addresses, one device") << "forwarded" << 2
                                               << "name the same device (serial number 04E2E5F6)";
    // A mistake in one name of several stops all before anything is sent.
    QTest::newRow("malformed address among several") << "bad among several" << 2 << "Not an address: 127.1:";
    QTest::newRow("port held by another program") << "busy" << 4 << "Serial port is in use!";
    // A device's process of a several-devices update whose image arrives cut
    // short (its parent killed while writing it) writes nothing.
    QTest::newRow("image cut short on standard input") << "cut short" << 5 << "did not arrive whole";
    QTest::newRow("image for another model")
        << "mismatch" << 5
        << "A Dongara takes an image whose file name contains DG and IN2, in capitals (for example DG.IN2). If it is "
           "the right image all the same, --force writes it.";
    // (Its name is not UTF-8: opened all the same, and found empty.)
    QTest::newRow("empty image") << "empty" << 5 << "is empty";
    QTest::newRow("device in dfuERROR mid-image") << "dfu error" << 6 << "Download error!";
    // A refused record and a refused image are told apart.
    QTest::newRow("network record refused") << "network error" << 6
                                            << "Protocol error: the device at %1 refused record 3 of 256.";
    QTest::newRow("network check fails") << "network check" << 6
                                         << "Protocol error: the device at %1 refused its check of the whole image.";
    // A greeting "OK" a second late is no answer to the check: refused, and
    // not restarted into the image it refused.
    QTest::newRow("late greeting, check fails, --reboot")
        << "late greeting" << 6 << "Protocol error: the device at %1 refused its check of the whole image.";
    QTest::newRow("reboot refused") << "reboot refused" << 6 << "The device refused the reboot";
    QTest::newRow("device never comes back") << "no return" << 7 << "did not come back";
    // Not the image the line meant: nothing is sent, on any road, and a
    // several-devices update refuses before any device starts.
    for (const char *road : { "usb", "network", "several", "station" })
        QTest::addRow("--sha256 of another image, %s", road) << QStringLiteral("sha256 ") + road << 10
                                                             << "is not the one named: its SHA-256 is";
    // A pin that names no image (an unset variable in a script) pins
    // nothing: refused before anything is sent.
    for (const char *pin : { "", "63", "65", "not hex" })
        QTest::addRow("--sha256 \"%s\"", pin) << QStringLiteral("pin ") + pin << 2 << "--sha256 takes the image's SHA-256";
    // Every command refuses what it does not take.
    QTest::newRow("list --sha256") << "list pinned" << 2 << "--sha256 goes with update and station only";
    QTest::newRow("history --verify") << "history verify" << 2 << "--verify goes with update and station only";
}

void VornicCliTest::exitCodes()
{
    QFETCH(QString, scenario);
    QFETCH(int, code);
    QFETCH(QString, says);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    QString image = writeImage(QStringLiteral("DG_CODES.IN2"), TestImage::bytes(8 * 1024));

    const bool busy = scenario == QLatin1String("busy");
    EmulatedDfuDevice::Config config = busy ? serialPortDevice(0x0015, "04E2C3D4")
                                            : usbDongara(scenario == QLatin1String("dfu error"));
    config.errorOnBlock = 2;
    config.detachDelay = scenario == QLatin1String("no return") ? -1 : 100;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    NetworkDeviceSimulator::Options netOptions = networkDongara();
    netOptions.errorAtRecord = scenario == QLatin1String("network error") ? 3 : 0;
    netOptions.wrongCrc = scenario == QLatin1String("network check") || scenario == QLatin1String("late greeting");
    netOptions.greetingDelay = scenario == QLatin1String("late greeting") ? 1000 : 0;
    netOptions.refuseReboot = scenario == QLatin1String("reboot refused");
    SimulatedDevice network(netOptions);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(network.port());
    DelayRelay forwarder(network.port(), std::chrono::microseconds(0));
    QVERIFY(forwarder.isListening());

    QStringList arguments { "update", "1-3", image };
    std::function<void(QProcess &)> during;
    QProcess holder;
    if (scenario == QLatin1String("usage"))
        arguments = QStringList { "update", "1-3", image, "--all" };
    else if (scenario == QLatin1String("missing"))
        arguments[1] = QStringLiteral("9-9");
    else if (scenario == QLatin1String("no network device"))
        arguments[1] = QStringLiteral("127.0.0.1:1");
    else if (scenario == QLatin1String("network error") || scenario == QLatin1String("network check"))
        arguments[1] = address;
    else if (scenario == QLatin1String("bad address"))
        arguments[1] = QStringLiteral("300.1.1.1");
    else if (scenario.startsWith(QLatin1String("address ")))
        arguments[1] = scenario.mid(8);
    else if (scenario == QLatin1String("history option"))
        arguments << QStringLiteral("--limit") << QStringLiteral("5");
    else if (scenario.startsWith(QLatin1String("pin "))) {
        const QString hash = QString(64, QLatin1Char('a'));
        const QString pin = scenario.mid(4);
        arguments << QStringLiteral("--sha256")
                  << (pin == QLatin1String("63")   ? hash.left(63)
                      : pin == QLatin1String("65") ? hash + QLatin1Char('a')
                      : pin.isEmpty()              ? QString()
                                                   : QString(hash).replace(10, 1, QLatin1Char('g')));
    } else if (scenario == QLatin1String("list pinned"))
        arguments = QStringList { "list", "--sha256", QString(64, QLatin1Char('a')) };
    else if (scenario == QLatin1String("history verify"))
        arguments = QStringList { "history", "--verify" };
    else if (scenario == QLatin1String("ip beside device"))
        arguments << QStringLiteral("--ip") << address;
    else if (scenario == QLatin1String("list with one silent"))
        arguments = QStringList { "list", "--ip", address, "--ip", "127.0.0.1:1" };
    else if (scenario == QLatin1String("too large")) {
        QFile big(writeImage(QStringLiteral("DG_BIG.IN2"), QByteArray()));
        QVERIFY(big.resize(0x10000001));
        arguments = QStringList { "update", address, big.fileName() };
    }
    else if (scenario == QLatin1String("no image"))
        arguments = QStringList{ "update", address };
    else if (scenario == QLatin1String("reboot refused") || scenario == QLatin1String("late greeting"))
        arguments = QStringList { "update", address, image, "--reboot" };
    else if (scenario == QLatin1String("twice"))
        arguments = QStringList { "update", "1-3", "04E2B9C1", image };
    else if (scenario == QLatin1String("forwarded"))
        arguments = QStringList { "update", address, QStringLiteral("127.0.0.1:%1").arg(forwarder.port()), image };
    else if (scenario == QLatin1String("cut short")) {
        const QByteArray whole = TestImage::bytes(8 * 1024);
        arguments = QStringList { "update", address, image, "--image-on-stdin",
                                  QString::fromLatin1(QCryptographicHash::hash(whole, QCryptographicHash::Sha256).toHex()) };
        during = [whole](QProcess &process) {
            process.write(whole.left(whole.size() / 2));
            process.closeWriteChannel();
        };
    } else if (scenario == QLatin1String("bad among several"))
        arguments = QStringList { "update", address, QStringLiteral("127.1:%1").arg(network.port()), image };
    else if (scenario == QLatin1String("mismatch"))
        arguments[2] = writeImage(QStringLiteral("PR_OTHER.INC"), TestImage::bytes(1024));
    else if (scenario == QLatin1String("empty"))
        arguments[2] = writeImage(QStringLiteral("DG_EMPTY_") + QChar(0xDCFF) + QStringLiteral(".IN2"), QByteArray());
    else if (scenario == QLatin1String("no return"))
        arguments << QStringLiteral("--wait") << QStringLiteral("1");
    else if (scenario.startsWith(QLatin1String("sha256 "))) {
        if (scenario.endsWith(QLatin1String("network")))
            arguments[1] = address;
        if (scenario.endsWith(QLatin1String("several")))
            arguments.insert(2, address);
        if (scenario.endsWith(QLatin1String("station")))
            arguments = QStringList { "station", arguments.last() };
        // The hash of the image with one byte more.
        arguments << QStringLiteral("--sha256")
                  << QString::fromLatin1(QCryptographicHash::hash(TestImage::bytes(8 * 1024) + 'x', QCryptographicHash::Sha256)
                                             .toHex());
    }
    else if (busy) {
        arguments[1] = QStringLiteral("ttyACM0");
        holder.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        holder.start(QStringLiteral(SERIAL_PORT_HOLDER), { QStringLiteral("ttyACM0") });
        QVERIFY(holder.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 5000);
        QCOMPARE(holder.readLine(), QByteArray("held\n"));
    }

    // The newest row of the history so far.
    const auto newestRow = [this] {
        const QJsonArray rows = QJsonDocument::fromJson(run({ "history", "--json", "--limit", "1" }).out).array();
        return rows.isEmpty() ? 0 : rows.first().toObject().value(QLatin1String("id")).toVariant().toLongLong();
    };
    const qint64 before = code == 10 ? newestRow() : 0;
    Outcome outcome = run(arguments, during);
    QCOMPARE(outcome.code, code);
    // A network device's process of a several-devices update tells its
    // parent who the device is, before it takes the image.
    if (scenario == QLatin1String("cut short")) {
        QVERIFY2(outcome.err.startsWith("identity 04E2"), outcome.err.constData());
        outcome.err.remove(0, outcome.err.indexOf('\n') + 1);
    }
    const QString expected = says.contains(QLatin1String("%1")) ? says.arg(address) : says;
    QVERIFY2(outcome.err.contains(expected.toUtf8()), outcome.err.constData());
    // One sentence, on one line.
    QCOMPARE(outcome.err.count('\n'), 1);
    QVERIFY(outcome.err.startsWith("vornic-cli: "));
    // Where the image or the device was refused early, the device was not
    // told to restart.
    if (code == 2 || code == 3 || code == 4 || code == 5 || code == 10)
        QVERIFY(!device.detachReceived() && device.serialReceived().isEmpty());
    if (code == 10) {
        QVERIFY(network.journal().isEmpty() && device.requestCount(1) == 0);
        // Yet each device named has its row, saying why nothing was sent
        // (a station names none).
        const int named = scenario.endsWith(QLatin1String("several")) ? 2
            : scenario.endsWith(QLatin1String("station"))             ? 0
                                                                      : 1;
        const Outcome history = run({ "history", "--json", "--limit", "10" });
        QStringList places;
        for (const QJsonValue &value : QJsonDocument::fromJson(history.out).array()) {
            const QJsonObject row = value.toObject();
            if (row.value(QLatin1String("id")).toVariant().toLongLong() > before)
                places << row.value(QLatin1String("outcome")).toString() + QLatin1Char(' ')
                        + row.value(QLatin1String("place")).toString();
        }
        QCOMPARE(places.size(), named);
        QVERIFY2(places.contains(QStringLiteral("wrong image ") + address) == (arguments.at(1) == address || named == 2)
                     && places.filter(QStringLiteral("wrong image ")).size() == named,
                 qPrintable(places.join(QLatin1Char('\n'))));
    }
    // A network device that failed is never restarted.
    if (scenario != QLatin1String("reboot refused"))
        QVERIFY(network.journal().filter(QRegularExpression(QStringLiteral("command boot$"))).isEmpty());
    // Nor was anything written over the network; an image that does not fit
    // is refused before the device is even asked.
    if (scenario == QLatin1String("too large"))
        QVERIFY(network.journal().isEmpty());
    if (code == 2) {
        QVERIFY(network.journal().filter(QStringLiteral(" record ")).isEmpty());
        QVERIFY(network.journal().filter(QStringLiteral("start I0")).isEmpty());
    }
    if (scenario == QLatin1String("no return"))
        QVERIFY(device.detachReceived());
    if (holder.state() != QProcess::NotRunning) {
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(5000));
    }
    device.unplug(testbed);
}

// Ctrl+C during a download: the block in flight is finished, the device is
// told to abort (never a zero-length DNLOAD, which would end the image), and
// the exit code says so.
void VornicCliTest::interruptedDownloadAborts_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("copies");
    QTest::newRow("one device, Ctrl+C") << 1 << int(SIGINT) << 130 << 1;
    // Passed on once to each device's process, which stops cleanly.
    QTest::newRow("two at once, Ctrl+C") << 2 << int(SIGINT) << 130 << 1;
    QTest::newRow("two at once, SIGTERM") << 2 << int(SIGTERM) << 143 << 1;
    // As timeout(1) sends it, to the process and then to its group: the
    // second copy does not cut the clean stop short.
    QTest::newRow("one device, SIGTERM twice") << 1 << int(SIGTERM) << 143 << 2;
    QTest::newRow("two at once, SIGTERM twice") << 2 << int(SIGTERM) << 143 << 2;
}

void VornicCliTest::interruptedDownloadAborts()
{
    QFETCH(int, devices);
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(int, copies);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const QString image = writeImage(QStringLiteral("DG_SLOW.IN2"), TestImage::bytes(64 * 1024));
    std::vector<std::unique_ptr<EmulatedDfuDevice>> usb;
    QStringList arguments { "update" };
    for (int i = 0; i < devices; ++i) {
        EmulatedDfuDevice::Config config = usbDongara(true);
        config.busyPolls = 4;
        config.at(i == 0 ? "1-3" : "1-5", 2 + 5 * i);
        config.serial = i == 0 ? "04E2B9C1" : "04E2A1B9";
        usb.emplace_back(new EmulatedDfuDevice(config));
        QVERIFY(!usb.back()->plug(testbed).isEmpty());
        arguments << QString::fromLatin1(config.port);
    }
    arguments << image;

    const Outcome outcome = run(arguments, [&usb, signal, copies](QProcess &process) {
        for (const auto &device : usb)
            QTRY_VERIFY_WITH_TIMEOUT(device->requestCount(1, 1) >= 5, 20000);
        // (The second once the first has been taken: two at once would be
        // one for the kernel.)
        for (int i = 0; i < copies; ++i) {
            if (i > 0)
                QTest::qWait(30);
            CliRun::signal(process, signal);
        }
    });
    QVERIFY2(outcome.code == code, (outcome.out + outcome.err).constData());
    QVERIFY2(outcome.err.count("Stopped after") == devices, outcome.err.constData());
    for (const auto &device : usb) {
        const auto requests = device->requests();
        QVERIFY(!requests.isEmpty());
        QCOMPARE(int(requests.last().request), 6);           // DFU_ABORT, last
        for (const auto &r : requests)
            QVERIFY(!(r.request == 1 && r.length == 0));
        const int blocks = device->requestCount(1, 1);
        QVERIFY(blocks >= 5 && blocks < 64);
        // Every block handed over was taken whole.
        QCOMPARE(device->downloaded().size(), blocks * 1024);
        device->unplug(testbed);
    }
}

// Ctrl+C during a network upload stops it after the current record, as the
// window's Stop does: the device never gets to check a partial image.
void VornicCliTest::interruptedUploadStops()
{
    const QString image = writeImage(QStringLiteral("DG_NET.IN2"), TestImage::bytes(32 * 400));
    NetworkDeviceSimulator::Options options = networkDongara();
    options.recordDelay = 10;
    SimulatedDevice network(options);
    QVERIFY(network.isListening());
    const auto records = [&network] { return network.journal().filter(QStringLiteral(" record ")).size(); };

    const Outcome outcome = run({ "update", QStringLiteral("127.0.0.1:%1").arg(network.port()), image },
                                [&records](QProcess &process) {
                                    QTRY_VERIFY_WITH_TIMEOUT(records() >= 10, 20000);
                                    ::kill(pid_t(process.processId()), SIGINT);
                                });
    QCOMPARE(outcome.code, 130);
    QVERIFY2(outcome.err.contains("Stopped before the device had the whole image checked"), outcome.err.constData());
    QVERIFY(records() < 400);
    QVERIFY(network.journal().filter(QStringLiteral(" check ")).isEmpty());
    QVERIFY(network.checkedImage().isEmpty());
}

// A signal while the device checks the image: the upload stops there with
// the signal's exit code, says so, and tells the device nothing more (no
// reboot, whatever --reboot asked), though the device would answer ERROR.
void VornicCliTest::signalDuringTheCheck_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("several");
    // What the network device has last been asked when the signal comes;
    // none: as soon as both devices' processes exist, still starting.
    QTest::addColumn<QString>("step");
    QTest::newRow("Ctrl+C") << int(SIGINT) << 130 << false << " check ";
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143 << false << " check ";
    // The other device has said who it is and waits for its image, which
    // never comes; the silent one's wait ends with the signal.
    QTest::newRow("SIGTERM, two at once, one silent when asked who it is")
        << int(SIGTERM) << 143 << true << "command boot v";
    QTest::newRow("SIGTERM, two at once, as they start") << int(SIGTERM) << 143 << true << "";
}

void VornicCliTest::signalDuringTheCheck()
{
    QFETCH(int, signalNumber);
    QFETCH(int, code);
    QFETCH(bool, several);
    QFETCH(QString, step);
    const QString image = writeImage(QStringLiteral("DG_CHECK.IN2"), TestImage::bytes(32 * 20));
    NetworkDeviceSimulator::Options options = networkDongara();
    options.wrongCrc = true;
    options.checkDelay = 1500;
    SimulatedDevice network(options);
    QVERIFY(network.isListening());
    ScriptedPeer silent([](ScriptedPeer &, const QByteArray &) {});
    QStringList arguments { "update", QStringLiteral("127.0.0.1:%1").arg(network.port()), image, "--reboot" };
    if (several)
        arguments.insert(2, QStringLiteral("127.0.0.1:%1").arg(silent.port()));

    QElapsedTimer elapsed;
    const Outcome outcome = run(arguments, [&](QProcess &process) {
        if (step.isEmpty()) {
            const QString children = QStringLiteral("/proc/%1/task/%1/children").arg(process.processId());
            const auto started = [&children] {
                QFile file(children);
                return file.open(QIODevice::ReadOnly) && file.readAll().split(' ').size() > 2;
            };
            QTRY_VERIFY_WITH_TIMEOUT(started(), 10000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!network.journal().filter(step).isEmpty(), 10000);
        }
        if (several && !step.isEmpty())
            QTest::qWait(300);
        elapsed.start();
        ::kill(pid_t(process.processId()), signalNumber);
    });
    QVERIFY2(outcome.code == code, qPrintable(QString::number(outcome.code) + ": " + outcome.err + outcome.out));
    // Long before the silent device's answer would time out.
    QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(!several || network.journal().filter(QStringLiteral(" record ")).isEmpty());
    QVERIFY2(!outcome.out.contains("Updated") && !outcome.out.contains("restarts"), outcome.out.constData());
    QVERIFY2(outcome.err.contains("Stopped"), outcome.err.constData());
    const QRegularExpression reboot(QStringLiteral("command boot$"));
    QVERIFY(network.journal().filter(reboot).isEmpty());
}

// SIGTERM while "list" waits for a device that dribbles its answer: the wait
// ends at once with 143, not when the device runs out of bytes.
void VornicCliTest::signalWhileADeviceDribbles()
{
    QTimer dribble;
    ScriptedPeer peer([&dribble](ScriptedPeer &p, const QByteArray &received) {
        if (received.endsWith("set\r\n")) {
            connect(&dribble, &QTimer::timeout, &p, [&p] { p.say("S"); });
            dribble.start(200);
        }
    });
    QElapsedTimer elapsed;
    const Outcome outcome = run({ "list", "--ip", QStringLiteral("127.0.0.1:%1").arg(peer.port()) },
                                [&](QProcess &process) {
                                    QTRY_VERIFY_WITH_TIMEOUT(dribble.isActive(), 10000);
                                    QTest::qWait(300);
                                    elapsed.start();
                                    ::kill(pid_t(process.processId()), SIGTERM);
                                });
    QCOMPARE(outcome.code, 143);
    // Well before the answer's deadline (about 4.7 s after the signal),
    // with room for a loaded machine.
    QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY2(outcome.err.contains("Stopped while checking"), outcome.err.constData());
}

// The JSON listing, read by a real JSON parser: every road, with what a
// script needs to pick a device.
void VornicCliTest::jsonListing()
{
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice usb(usbDongara(true));
    // A Beamora by its product identifier.
    EmulatedDfuDevice serial(serialPortDevice(0x0014, "03E1C3D4"));
    QVERIFY(!usb.plug(testbed).isEmpty());
    QVERIFY(!serial.plug(testbed).isEmpty());
    SimulatedDevice network(networkDongara());
    const QString address = QStringLiteral("127.0.0.1:%1").arg(network.port());

    const Outcome outcome = run({ "list", "--json", "--ip", address });
    QCOMPARE(outcome.code, 0);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(outcome.out, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    const QJsonArray rows = document.array();
    QCOMPARE(rows.size(), 3);
    const QJsonObject first = rows.at(0).toObject();
    QCOMPARE(first.value("road").toString(), QStringLiteral("usb"));
    QCOMPARE(first.value("device").toString(), QStringLiteral("1-3"));
    QCOMPARE(first.value("text").toString(), QStringLiteral("Dongara Net S/N: 04E2B9C1 bootloader"));
    QCOMPARE(first.value("model").toString(), QStringLiteral("Dongara"));
    QCOMPARE(first.value("bootloader").toBool(), true);
    QCOMPARE(first.value("access").toBool(), true);
    const QJsonObject second = rows.at(1).toObject();
    QCOMPARE(second.value("road").toString(), QStringLiteral("serial"));
    QCOMPARE(second.value("device").toString(), QStringLiteral("ttyACM0"));
    QCOMPARE(second.value("model").toString(), QStringLiteral("Beamora"));
    QCOMPARE(second.value("serialNumber").toString(), QStringLiteral("03E1C3D4"));
    const QJsonObject third = rows.at(2).toObject();
    QCOMPARE(third.value("road").toString(), QStringLiteral("network"));
    QCOMPARE(third.value("device").toString(), address);
    QCOMPARE(third.value("text").toString(), QStringLiteral("Dongara S/N: 04E2E5F6 at 127.0.0.1"));
    QCOMPARE(third.value("networkUpdate").toBool(), true);

    // The plain listing names the same devices, one per line.
    const Outcome plain = run({ "list", "--ip", address });
    QCOMPARE(plain.code, 0);
    const QList<QByteArray> lines = plain.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).startsWith("usb ") && lines.at(0).endsWith("Dongara Net S/N: 04E2B9C1 bootloader"));
    serial.unplug(testbed);
    usb.unplug(testbed);
}

// --verify: only what was confirmed ends with 0 and says "verified"; a
// difference (8) says where; what cannot be confirmed (9) says why, though
// it was written.
void VornicCliTest::verifyOutcomes_data()
{
    QTest::addColumn<QString>("road");
    QTest::addColumn<bool>("canUpload");
    QTest::addColumn<int>("corruptAt");
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    QTest::newRow("USB, read back whole") << "usb" << true << -1 << "DG_V.IN2" << 0
                                          << "(verified: read back byte for byte).";
    QTest::newRow("USB, a byte differs") << "usb" << true << 5000 << "DG_V.IN2" << 8
                                         << "the byte at offset 5000 (of 10000) is 0x";
    QTest::newRow("USB, cannot upload") << "usb" << false << -1 << "DG_V.IN2" << 9
                                        << "but could not verify it: the device cannot read its image back.";
    // A device that restarts at once after the end of the image, having
    // announced neither tolerance nor detaching: written, not confirmed.
    QTest::newRow("USB, restarts without confirming") << "usb restarts" << true << -1 << "DG_V.IN2" << 9
                                                      << "could not verify it: the device restarted without confirming.";
    QTest::newRow("USB, restarts without confirming, no --verify")
        << "usb restarts, json" << true << -1 << "DG_V.IN2" << 0
        << "\"reason\": \"the device restarted without confirming\"";
    QTest::newRow("network, 'I' image") << "network" << false << -1 << "DG_V.IN2" << 0
                                        << "(verified by the device's own check of the whole image).";
    QTest::newRow("network, 'W' image") << "network" << false << -1 << "DG_VINB.IN2" << 9
                                        << "a 'W' image has no check that would confirm it.";
}

void VornicCliTest::verifyOutcomes()
{
    QFETCH(QString, road);
    QFETCH(bool, canUpload);
    QFETCH(int, corruptAt);
    QFETCH(QString, image);
    QFETCH(int, code);
    QFETCH(QString, says);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const QByteArray bytes = TestImage::bytes(10000);
    const QString path = writeImage(image, bytes);
    EmulatedDfuDevice::Config config = usbDongara(true);
    config.canUpload = canUpload;
    config.corruptUploadAt = corruptAt;
    if (road.startsWith(QLatin1String("usb restarts"))) {
        config.attributes = 0x01;
        config.fault = EmulatedDfuDevice::LeavesAfter;
        config.faultAtDownload = (bytes.size() + config.transferSize - 1) / config.transferSize + 1;
    }
    EmulatedDfuDevice usb(config);
    QVERIFY(!usb.plug(testbed).isEmpty());
    SimulatedDevice network(networkDongara());
    const QString device = road.startsWith(QLatin1String("usb")) ? QStringLiteral("1-3")
                                                                  : QStringLiteral("127.0.0.1:%1").arg(network.port());

    const Outcome outcome = run({ "update", device, path,
                                  road.endsWith(QLatin1String("json")) ? "--json" : "--verify" });
    QVERIFY2(outcome.code == code, outcome.err.constData());
    const QByteArray said = code == 0 ? outcome.out : outcome.err;
    QVERIFY2(said.contains(says.toUtf8()), said.constData());
    // Written in every case (an 'I' image as the device checked it); a
    // failure is one sentence.
    QCOMPARE(road.startsWith(QLatin1String("usb")) ? usb.downloaded()
             : image.contains("INB") ? network.image('W')
                                     : network.checkedImage(),
             bytes);
    QVERIFY(code == 0 || outcome.err.count('\n') == 1);
    // The history row, and the JSON result, name the outcome alike.
    const bool json = road.endsWith(QLatin1String("json"));
    const QString named = code == 8 ? QStringLiteral("differs")
        : code == 9                 ? QStringLiteral("not verifiable")
        : json                      ? QStringLiteral("updated")
                                    : QStringLiteral("verified");
    const QJsonArray rows = QJsonDocument::fromJson(run({ "history", "--json", "--limit", "1" }).out).array();
    QCOMPARE(rows.at(0).toObject().value(QLatin1String("outcome")).toString(), named);
    if (json)
        QCOMPARE(QJsonDocument::fromJson(outcome.out).array().at(0).toObject().value(QLatin1String("outcome")).toString(),
                 named);
    usb.unplug(testbed);
}

// A production station: every Dongara listed (three in their bootloader,
// one in its application, one on the network) written at once with
// --verify, one of them failing in the middle; a Primora beside them is not
// touched. The others end complete and verified; the failure is reported
// for its device alone, and sets the exit code.
void VornicCliTest::severalDevicesAtOnce()
{
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const QByteArray image = TestImage::bytes(12 * 1024 + 5);
    const QString path = writeImage(QStringLiteral("DG_FLEET.IN2"), image);
    std::vector<std::unique_ptr<EmulatedDfuDevice>> usb;
    const struct
    {
        const char *port;
        const char *serial;
        bool bootloader;
        bool fails;
        const char *product;
    } rows[] = { { "1-3", "04E2B9C1", true, false, "Dongara NET" }, { "1-5", "04E2A1B3", true, true, "Dongara NET" },
                 { "1-6", "04E2A1B4", true, false, "Dongara NET" }, { "1-7", "04E2A1B5", false, false, "Dongara NET" },
                 { "1-8", "0500A1B6", true, false, "Primora" } };
    int number = 20;
    for (const auto &row : rows) {
        EmulatedDfuDevice::Config config = usbDongara(row.bootloader);
        config.port = row.port;
        config.serial = row.serial;
        config.product = row.product;
        if (QByteArray(row.product) == "Primora")
            config.productId = 0x8001;
        config.deviceNumber = number;
        number += 3;
        config.canUpload = true;
        config.errorOnBlock = row.fails ? 5 : -1;
        usb.emplace_back(new EmulatedDfuDevice(config));
        QVERIFY(!usb.back()->plug(testbed).isEmpty());
    }
    SimulatedDevice network(networkDongara());
    const QString address = QStringLiteral("127.0.0.1:%1").arg(network.port());

    // What one look at the bus asks the Primora, which is not to be written.
    QCOMPARE(run({ "list" }).code, 0);
    const int oneLook = usb[4]->requests().size();
    QVERIFY(oneLook > 0);

    QElapsedTimer clock;
    clock.start();
    const Outcome outcome = run({ "update", "--all", path, "--ip", address, "--verify", "--json" });
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(outcome.code == 6, outcome.err.constData());
    QMap<QString, QJsonObject> results;
    for (const QJsonValue &value : QJsonDocument::fromJson(outcome.out).array())
        results.insert(value.toObject().value(QStringLiteral("device")).toString(), value.toObject());
    QCOMPARE(results.keys(), QStringList({ "1-3", "1-5", "1-6", "1-7", address }));
    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        const bool fails = it.key() == QLatin1String("1-5");
        // As each device's history row names it.
        QCOMPARE(it->value(QStringLiteral("outcome")).toString(), fails ? QStringLiteral("device refused")
                                                                        : QStringLiteral("verified"));
        QCOMPARE(it->value(QStringLiteral("exitCode")).toInt(), fails ? 6 : 0);
        QCOMPARE(it->value(QStringLiteral("verified")).toBool(), !fails);
        // What the device took: the failed one, the five blocks before the
        // one it refused.
        QCOMPARE(it->value(QStringLiteral("bytes")).toInt(), fails ? 5 * 1024 : image.size());
        QVERIFY(it->value(QStringLiteral("serialNumber")).toString().startsWith(QLatin1String("04E2")));
    }
    // The device the image is not for is left out, and said to be.
    QVERIFY2(outcome.err.contains("vornic-cli: 1-8 (Primora") && outcome.err.contains("is left out: the image is not "
                                                                                      "for its model."),
             outcome.err.constData());
    // The result lines, one per device, on stderr beside the JSON; without
    // a terminal each result is said once.
    QVERIFY2(outcome.err.contains("\n1-5: Download error!") || outcome.err.contains("\n1-5: The device"),
             outcome.err.constData());
    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        const QString message = it->value(QStringLiteral("message")).toString();
        const QString line = it.key() + QLatin1String(": ") + message;
        QVERIFY2(outcome.err.count(line.toUtf8()) == 1 && !outcome.err.contains("vornic-cli: " + message.toUtf8()),
                 qPrintable(line + QLatin1Char('\n') + QString::fromUtf8(outcome.err)));
    }
    for (std::size_t i = 0; i < usb.size(); ++i) {
        const QByteArray held = usb[i]->downloaded();
        if (i == 1)
            QVERIFY(held.size() < image.size());
        else if (i != 4)
            QCOMPARE(held, image);
    }
    // Only the command's own look at the bus reached the Primora: no
    // device's process opened a device other than its own...
    QCOMPARE(usb[4]->requests().size(), 2 * oneLook);
    // ...so none asked anything of a device another was writing.
    for (std::size_t i = 0; i + 1 < usb.size(); ++i) {
        const QVector<EmulatedDfuDevice::Request> requests = usb[i]->requests();
        const auto isBlock = [](const EmulatedDfuDevice::Request &r) { return r.requestType == 0x21 && r.request == 1; };
        const auto firstBlock = std::find_if(requests.cbegin(), requests.cend(), isBlock);
        QVERIFY(firstBlock != requests.cend());
        for (auto r = firstBlock; r != requests.cend(); ++r) {
            QVERIFY2((r->requestType & 0x7F) == 0x21,
                     qPrintable(QString::asprintf("device %d: request %02x/%02x", int(i), r->requestType, r->request)));
        }
    }
    QCOMPARE(network.checkedImage(), image);
    for (auto &device : usb)
        device->unplug(testbed);
}

// The parent of a several-devices update killed, or its terminal gone: no
// device's process writes on unattended, and none is rebooted; each stops
// as on SIGTERM (a USB device told to abort), although what it says goes
// into the dead parent's pipe, and its row says it stopped.
void VornicCliTest::parentDies_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("code");                  // the parent's; -2 killed
    QTest::addColumn<bool>("usb");
    QTest::newRow("SIGKILL") << int(SIGKILL) << -2 << false;
    QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP) << 129 << false;
    QTest::newRow("SIGKILL, USB") << int(SIGKILL) << -2 << true;
}

void VornicCliTest::parentDies()
{
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(bool, usb);
    const QByteArray image = TestImage::bytes(usb ? 64 * 1024 : 8 * 1024);
    const QString path = writeImage(QStringLiteral("DG_ORPHAN.IN2"), image);
    NetworkDeviceSimulator::Options options = networkDongara();
    options.recordDelay = 20;
    SimulatedDevice first(options);
    options.serialNumber = "04E2E5F7";
    SimulatedDevice second(options);
    QVERIFY(first.isListening() && second.isListening());
    UsbTestbed testbed;
    std::vector<std::unique_ptr<EmulatedDfuDevice>> bootloaders;
    QStringList arguments { "update", QStringLiteral("127.0.0.1:%1").arg(first.port()),
                            QStringLiteral("127.0.0.1:%1").arg(second.port()), path, "--reboot" };
    if (usb) {
        QVERIFY(testbed.isValid());
        arguments = QStringList { "update", "1-3", "1-5", path };
        for (const char *port : { "1-3", "1-5" }) {
            EmulatedDfuDevice::Config config = usbDongara(true);
            config.busyPolls = 4;
            config.at(port, bootloaders.empty() ? 2 : 7);
            config.serial = bootloaders.empty() ? "04E2B9C1" : "04E2A1B9";
            bootloaders.emplace_back(new EmulatedDfuDevice(config));
            QVERIFY(!bootloaders.back()->plug(testbed).isEmpty());
        }
    }
    const CliRun result = CliRun::run(QStringLiteral(VORNIC_CLI), arguments, [&](QProcess &process) {
        for (const auto &device : bootloaders)
            QTRY_VERIFY_WITH_TIMEOUT(device->requestCount(1, 1) >= 5, 20000);
        for (const SimulatedDevice *device : { &first, &second }) {
            if (!usb)
                QTRY_VERIFY_WITH_TIMEOUT(device->journal().filter(QStringLiteral(" record ")).size() >= 5, 20000);
        }
        ::kill(pid_t(process.processId()), signal);
    });
    QCOMPARE(result.code, code);
    // Within 3 s no device's process is left.
    const auto orphans = [&path] {
        int count = 0;
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(path.toLocal8Bit()))
                ++count;
        }
        return count;
    };
    QTRY_COMPARE_WITH_TIMEOUT(orphans(), 0, 3000);
    for (const SimulatedDevice *device : { &first, &second }) {
        QTRY_VERIFY(device->allClosed());
        const QStringList journal = device->journal();
        QVERIFY(journal.filter(QStringLiteral(" record ")).size() < 256);
        QVERIFY2(journal.filter(QRegularExpression(QStringLiteral("command boot$"))).isEmpty(),
                 qPrintable(journal.join('\n')));
        QVERIFY(device->checkedImage().isEmpty());
    }
    // Each bootloader holds the whole image, or was told to abort: never
    // left with part of one.
    for (const auto &device : bootloaders) {
        const QVector<EmulatedDfuDevice::Request> requests = device->requests();
        QVERIFY2(device->downloaded() == image || (!requests.isEmpty() && requests.last().request == 6),
                 qPrintable(QStringLiteral("%1 bytes, last request %2")
                                .arg(device->downloaded().size())
                                .arg(requests.isEmpty() ? -1 : int(requests.last().request))));
        device->unplug(testbed);
    }
    // And every device's row says how it ended.
    const QJsonArray rows = QJsonDocument::fromJson(run({ "history", "--json" }).out).array();
    QCOMPARE(rows.size(), 2);
    for (const QJsonValue &row : rows)
        QVERIFY2(row.toObject().value(QLatin1String("outcome")).toString() == QLatin1String("stopped"),
                 QJsonDocument(row.toObject()).toJson().constData());
}

// What a device says of itself (its USB serial number, its answer on the
// network) is data in every output: one line on a terminal, with no
// control character; text in a spreadsheet; the exact value in JSON.
void VornicCliTest::deviceTextIsData_data()
{
    QTest::addColumn<bool>("usb");
    QTest::addColumn<QByteArray>("name");
    const QByteArray names[] = { "=HYPERLINK(\"http://x/?\"&A1,\"click\")", "+cmd|' /C calc'!A0", "-2+3",
                                 "@SUM(1+1)", "\t=1", "\r=1", "04E2\nUpdated 1-3 with evil", "04E2\x1b]0;t\x07\x1b[31m",
                                 "a \"quoted\", name" };
    for (const QByteArray &name : names)
        QTest::addRow("USB %s", SafeText::forTerminal(QString::fromLatin1(name)).toLatin1().constData()) << true << name;
    // (A network answer is a line: it cannot hold CR or LF.)
    for (const QByteArray &name : { QByteArray("=1+1\x1b[2J\x07"), QByteArray("@\"x\""), QByteArray(120, '=') })
        QTest::addRow("network %s", SafeText::forTerminal(QString::fromLatin1(name)).toLatin1().left(20).constData()) << false << name;
}

void VornicCliTest::deviceTextIsData()
{
    QFETCH(bool, usb);
    QFETCH(QByteArray, name);
    const QString path = writeImage(QStringLiteral("DG_TEXT.IN2"), TestImage::bytes(4 * 1024));
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice::Config config = usbDongara(true);
    config.serial = name;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    NetworkDeviceSimulator::Options options = networkDongara();
    options.serialNumber = name;
    SimulatedDevice network(options);
    QVERIFY(network.isListening());
    const QString place = usb ? QStringLiteral("1-3") : QStringLiteral("127.0.0.1:%1").arg(network.port());

    // (--force: a name that says nothing of a model is no reason to stop.)
    const Outcome update = run({ "update", place, path, "--force" });
    QVERIFY2(update.code == 0, update.err.constData());
    const Outcome table = run({ "history" });
    // One line each (one "Updated" line), with no control character in it.
    for (const QByteArray &line : (update.out + update.err + table.out).split('\n')) {
        QVERIFY2(std::none_of(line.cbegin(), line.cend(), [](char c) { return (uchar(c) < 0x20 && c != '\t') || c == 0x7F; }),
                 line.constData());
    }
    QCOMPARE(update.out.count("\nUpdated ") + int(update.out.startsWith("Updated ")), 1);
    QCOMPARE(table.out.count('\n'), 1);
    // The exact value in JSON, and text in a spreadsheet.
    const QJsonArray rows = QJsonDocument::fromJson(run({ "history", "--json" }).out).array();
    QCOMPARE(rows.first().toObject().value(QLatin1String("serialNumber")).toString().toUtf8(), name);
    const QList<QStringList> records = CsvReader::parse(QString::fromUtf8(run({ "history", "--csv" }).out));
    QCOMPARE(records.size(), 2);
    for (const QString &field : records.at(1))
        QVERIFY2(!CsvReader::evaluates(field), qPrintable(field));
    QCOMPARE(CsvReader::shownValue(records.at(1).at(records.at(0).indexOf(QStringLiteral("serialNumber")))).toUtf8(),
             name);
    device.unplug(testbed);
}

// Every update leaves one row behind, whatever becomes of it or of the
// history file, and the history never changes the update's outcome.
void VornicCliTest::historyKeepsEveryUpdate_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("outcomes");      // of the rows, newest first
    QTest::newRow("verified") << "verified" << QStringList { "verified" };
    QTest::newRow("eight processes at once") << "eight" << QStringList(QVector<QString>(8, QStringLiteral("updated")).toList());
    QTest::newRow("killed during the upload") << "killed" << QStringList { "interrupted" };
    QTest::newRow("history file not a database") << "corrupt" << QStringList { "updated" };
    QTest::newRow("history folder unwritable") << "unwritable" << QStringList();
    QTest::newRow("history turned off") << "off" << QStringList();
    // The same through a PostgreSQL server the settings name.
    QTest::newRow("server: verified") << "server verified" << QStringList { "verified" };
    QTest::newRow("server: eight processes at once")
        << "server eight" << QStringList(QVector<QString>(8, QStringLiteral("updated")).toList());
    QTest::newRow("server: killed during the upload") << "server killed" << QStringList { "interrupted" };
    QTest::newRow("server stopped during the update") << "server stopped" << QStringList();
    QTest::newRow("server down from the start") << "server down" << QStringList();
    // The password as a parameter: used, and never shown either.
    QTest::newRow("server: password as a parameter") << "server password" << QStringList { "updated" };
    // TLS asked for, and a server without it: nothing is written in clear.
    QTest::newRow("server without the TLS asked for") << "server tls" << QStringList();
    // Another station holds a lock past the statement time-out: said as a
    // time-out, within it.
    QTest::newRow("server: table locked") << "server locked" << QStringList();
}

void VornicCliTest::historyKeepsEveryUpdate()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, outcomes);
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    const QByteArray previousConfig = qgetenv("XDG_CONFIG_HOME");
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_DATA_HOME", previous);
        qputenv("XDG_CONFIG_HOME", previousConfig);
    });
    const bool onServer = scenario.startsWith(QLatin1String("server"));
    const bool stopped = scenario == QLatin1String("server stopped");
    const bool down = scenario == QLatin1String("server down");
    const bool tls = scenario == QLatin1String("server tls");
    const bool locked = scenario == QLatin1String("server locked");
    const bool killed = scenario.endsWith(QLatin1String("killed"));
    const bool slow = killed || stopped;
    std::unique_ptr<PostgresServer> server;
    if (scenario == QLatin1String("off")) {
        QSettings settings(data.filePath(QStringLiteral("Ordane/Vornic.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("history/enabled"), false);
        settings.sync();
        qputenv("XDG_CONFIG_HOME", data.path().toLocal8Bit());
    }
    if (onServer) {
        server.reset(new PostgresServer);
        QVERIFY2(server->isValid(), qPrintable(server->why()));
        QSettings settings(data.filePath(QStringLiteral("Ordane/Vornic.ini")), QSettings::IniFormat);
        // (The throw-away server trusts its socket: the password only has to
        // stay out of sight.)
        const QString url = tls ? server->tcpUrl() + QStringLiteral("?sslmode=require&password=s3cret")
            : scenario == QLatin1String("server password")
            ? server->url() + QStringLiteral("&password=s3cret")
            : QString(server->url()).replace(QLatin1String("postgres@"), QLatin1String("postgres:s3cret@"));
        settings.setValue(QStringLiteral("history/url"), url);
        settings.sync();
        qputenv("XDG_CONFIG_HOME", data.path().toLocal8Bit());
        if (down)
            QVERIFY(server->stop());
    }
    const QString file = data.filePath(QStringLiteral("Ordane/history.sqlite"));
    if (scenario == QLatin1String("corrupt")) {
        QVERIFY(QDir(data.path()).mkpath(QStringLiteral("Ordane")));
        QFile garbage(file);
        QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(4096, 'g')) == 4096);
    }
    // Under a plain file no folder can be made, even by root.
    qputenv("XDG_DATA_HOME", (scenario == QLatin1String("unwritable") ? data.filePath(QStringLiteral("file/data"))
                                                                      : data.path()).toLocal8Bit());
    QFile blocker(data.filePath(QStringLiteral("file")));
    if (scenario == QLatin1String("unwritable"))
        QVERIFY(blocker.open(QIODevice::WriteOnly));

    const QByteArray image = TestImage::bytes(64 * 100);
    const QString path = writeImage(QStringLiteral("DG_HIST.IN2"), image);
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    NetworkDeviceSimulator::Options options = networkDongara();
    options.recordDelay = slow ? 10 : 0;
    std::vector<std::unique_ptr<SimulatedDevice>> devices;
    QStringList arguments { "update" };
    for (int i = 0; i < (scenario.endsWith(QLatin1String("eight")) ? 8 : 1); ++i) {
        options.serialNumber = "04E2E5F" + QByteArray::number(i);
        devices.emplace_back(new SimulatedDevice(options));
        QVERIFY(devices.back()->isListening());
        arguments << QStringLiteral("127.0.0.1:%1").arg(devices.back()->port());
    }
    arguments << path;
    const bool verify = scenario.endsWith(QLatin1String("verified"));
    if (verify)
        arguments << QStringLiteral("--verify");
    // The tables made, then locked by another connection (psql's) for 8 s,
    // past the statement time-out.
    QProcess lock;
    if (locked) {
        QCOMPARE(run({ "history" }).code, 0);
        lock.start(QStringLiteral("psql"), { "-X", "-q", "-At", "-c", "BEGIN", "-c", "LOCK TABLE updates", "-c",
                                             "SELECT 'locked'", "-c", "SELECT pg_sleep(8)", server->url() });
        QVERIFY(lock.waitForStarted() && lock.waitForReadyRead(10000));
        QCOMPARE(lock.readLine(), QByteArray("locked\n"));
    }
    QElapsedTimer clock;
    clock.start();
    const Outcome outcome = run(arguments, [&](QProcess &process) {
        if (!slow)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(devices.front()->journal().filter(QStringLiteral(" record ")).size() >= 10, 20000);
        if (stopped)
            QVERIFY(server->stop());
        else
            ::kill(pid_t(process.processId()), SIGKILL);
    });
    if (killed) {
        QCOMPARE(outcome.code, -2);
    } else {
        QVERIFY2(outcome.code == 0, outcome.err.constData());
        // Said once when the history could not be kept, or was set aside.
        const bool warned = scenario == QLatin1String("corrupt") || scenario == QLatin1String("unwritable") || stopped
            || down || tls || locked;
        // And nothing else: no notice a server sends reaches the terminal.
        // (A several-devices update passes its devices' lines on to stdout.)
        QCOMPARE((outcome.out + outcome.err).count("update history"), warned ? 1 : 0);
        QVERIFY2(outcome.err.count('\n') == (warned ? 1 : 0), outcome.err.constData());
        // Nor does a server that went away hold the update up, and what is
        // said of it never shows its password.
        QVERIFY(clock.elapsed() < 15000);
        QVERIFY(!outcome.err.contains("s3cret"));
        QCOMPARE(outcome.err.contains("postgres:****@"), stopped || down || tls || locked);
        if (tls)
            QVERIFY2(outcome.err.contains("SSL was required"), outcome.err.constData());
        if (locked)
            QVERIFY2(outcome.err.contains("the history server did not answer within 5 s"), outcome.err.constData());
    }
    if (locked)
        QVERIFY(lock.waitForFinished(15000));

    clock.restart();
    const Outcome history = run({ "history", "--json" });
    if (scenario == QLatin1String("unwritable") || stopped || down || tls) {
        QCOMPARE(history.code, 1);
        QVERIFY(history.err.contains("update history"));
        QVERIFY(clock.elapsed() < 10000);
        return;
    }
    QCOMPARE(history.code, 0);
    QVERIFY2(history.err.isEmpty() || scenario == QLatin1String("corrupt"), history.err.constData());
    const QJsonArray rows = QJsonDocument::fromJson(history.out).array();
    QStringList found;
    for (const QJsonValue &value : rows) {
        const QJsonObject row = value.toObject();
        found << row.value(QLatin1String("outcome")).toString();
        QCOMPARE(row.value(QLatin1String("sha256")).toString(), sha256);
        QCOMPARE(row.value(QLatin1String("model")).toString(), QStringLiteral("Dongara"));
        QVERIFY(row.value(QLatin1String("serialNumber")).toString().startsWith(QLatin1String("04E2E5F")));
        QCOMPARE(row.value(QLatin1String("ended")).isNull(), killed);
        QCOMPARE(row.value(QLatin1String("verified")).toBool(), verify);
    }
    QCOMPARE(found, outcomes);
    if (onServer || outcomes.isEmpty()) {
        // What is shown of the server never holds a password.
        QVERIFY(!QFile::exists(file));
        QVERIFY(!history.err.contains("s3cret"));
        return;
    }
    if (scenario == QLatin1String("corrupt")) {
        // The damaged file is kept beside, byte for byte.
        const QStringList aside = QDir(data.filePath(QStringLiteral("Ordane")))
                                      .entryList({ QStringLiteral("history.sqlite.corrupt-*") });
        QCOMPARE(aside.size(), 1);
        QFile kept(data.filePath(QStringLiteral("Ordane/") + aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray(4096, 'g'));
    }
    // Private to its user, folder and file.
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
        | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFileInfo(file).permissions() & (others | QFile::ReadOwner | QFile::WriteOwner),
             QFile::ReadOwner | QFile::WriteOwner);
    if (scenario != QLatin1String("corrupt"))       // (whose folder the test made)
        QCOMPARE(QFileInfo(QFileInfo(file).path()).permissions() & others, QFile::Permissions());
    // A filter by device finds its rows only.
    const Outcome one = run({ "history", "--csv", "--device", arguments.at(1) });
    QCOMPARE(one.out.count("\r\n"), 2);
    QVERIFY(one.out.contains(arguments.at(1).toUtf8()));
}

// The station on the command line: the devices that arrive are written,
// the one there at start is not; it ends after --count devices, or cleanly
// on Ctrl+C with what was being written aborted, and prints its summary.
void VornicCliTest::station_data()
{
    QTest::addColumn<int>("arriving");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("signalNumber");          // 0: none; sent once every arrival is being written
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("serialPort");           // the devices are reached by "boot" on their serial ports
    QTest::newRow("--count 1") << 1 << QStringList { "--count", "1" } << 0 << 0 << false;
    QTest::newRow("--count 1, a serial-port device") << 1 << QStringList { "--count", "1" } << 0 << 0 << true;
    QTest::newRow("--count 2, verified, JSON") << 2 << QStringList { "--count", "2", "--verify", "--json" } << 0 << 0
                                               << false;
    QTest::newRow("Ctrl+C with three being written") << 3 << QStringList() << int(SIGINT) << 1 << false;
    QTest::newRow("SIGTERM with two being written") << 2 << QStringList() << int(SIGTERM) << 1 << false;
    QTest::newRow("SIGHUP with one being written") << 1 << QStringList() << int(SIGHUP) << 1 << false;
}

void VornicCliTest::station()
{
    QFETCH(int, arriving);
    QFETCH(QStringList, options);
    QFETCH(int, signalNumber);
    QFETCH(int, code);
    QFETCH(bool, serialPort);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const QByteArray bytes = TestImage::bytes(signalNumber ? 64 * 1024 : 16 * 1024);
    const QString image = writeImage(QStringLiteral("DG_STATION.IN2"), bytes);
    const auto config = [signalNumber, serialPort](int i) {
        EmulatedDfuDevice::Config config = usbDongara(!serialPort);
        if (serialPort) {
            config.deviceClass = 2;
            // Port lock files are shared by every process: a name of this one's own.
            config.ttyName = "ttyACM" + QByteArray::number(9000 + 2 * (QCoreApplication::applicationPid() % 5000) + i);
        }
        config.at(QByteArray("1-") + QByteArray::number(3 + i), 2 + 5 * i);
        config.serial = "04E2B9C" + QByteArray::number(i);
        config.canUpload = true;
        config.busyPolls = signalNumber ? 4 : 0;
        return config;
    };
    EmulatedDfuDevice present(config(arriving));
    QVERIFY(!present.plug(testbed).isEmpty());
    std::vector<std::unique_ptr<EmulatedDfuDevice>> usb;
    const Outcome outcome = run(QStringList { "station", image } + options, [&](QProcess &process) {
        QTRY_VERIFY_WITH_TIMEOUT(process.peek(1 << 16).contains(options.contains("--json") ? "present" : "Waiting"),
                                 10000);
        for (int i = 0; i < arriving; ++i) {
            usb.emplace_back(new EmulatedDfuDevice(config(i)));
            QVERIFY(!usb.back()->plug(testbed).isEmpty());
        }
        if (!signalNumber)
            return;
        for (const auto &device : usb)
            QTRY_VERIFY_WITH_TIMEOUT(device->requestCount(1, 1) >= 5, 20000);
        CliRun::signal(process, signalNumber);
    });
    QVERIFY2(outcome.code == code, (outcome.out + outcome.err).constData());
    QCOMPARE(present.downloadRequests(), 0);
    QCOMPARE(int(usb.size()), arriving);
    const QJsonArray rows = QJsonDocument::fromJson(run({ "history", "--json" }).out).array();
    QCOMPARE(rows.size(), arriving);
    for (int i = 0; i < arriving; ++i) {
        EmulatedDfuDevice *device = usb.at(i).get();
        const QString serial = QString::fromLatin1(config(i).serial);
        if (signalNumber) {
            // Aborted after whole blocks, never told the image had ended.
            QCOMPARE(int(device->requests().last().request), 6);
            QCOMPARE(device->manifestations(), 0);
            QVERIFY2(outcome.err.contains(QStringLiteral("1-%1  %2  failed: Stopped").arg(3 + i).arg(serial).toUtf8()),
                     outcome.err.constData());
        } else {
            QCOMPARE(device->downloaded(), bytes);
            QCOMPARE(device->manifestations(), 1);
            QCOMPARE(device->serialReceived(), QByteArray(serialPort ? "boot\n" : ""));
        }
        device->unplug(testbed);
    }
    for (const QJsonValue &value : qAsConst(rows)) {
        const QJsonObject row = value.toObject();
        QCOMPARE(row.value("program").toString(), QStringLiteral("vornic-cli station"));
        QCOMPARE(row.value("outcome").toString(), signalNumber                  ? QStringLiteral("stopped")
                                                  : options.contains("--verify") ? QStringLiteral("verified")
                                                                                 : QStringLiteral("updated"));
    }
    if (options.contains("--json")) {
        const QList<QByteArray> lines = outcome.out.trimmed().split('\n');
        QCOMPARE(QJsonDocument::fromJson(lines.last()).object().value("done").toInt(), arriving);
        QCOMPARE(outcome.out.count("\"event\":\"done\""), arriving);
    } else {
        QVERIFY2(outcome.out.contains(QStringLiteral("Station ended: %1 done, %2 failed, 0 skipped.")
                                          .arg(signalNumber ? 0 : arriving)
                                          .arg(signalNumber ? arriving : 0)
                                          .toUtf8()),
                 outcome.out.constData());
        QVERIFY(outcome.out.contains("present, left alone"));
    }
}

// A device's firmware read into a file: whole, from the device named alone,
// by the road an update would take; or nothing, and the file as it was.
void VornicCliTest::read_data()
{
    QTest::addColumn<QString>("mode");              // bootloader, application, serial port, network, left uploading
    QTest::addColumn<int>("holds");
    QTest::addColumn<bool>("canUpload");
    QTest::addColumn<int>("signalNumber");          // sent once the read is under way
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    QTest::newRow("bootloader, a short last block") << "bootloader" << 2500 << true << 0 << 0 << "Read 2500 bytes";
    QTest::newRow("bootloader, on a block boundary") << "bootloader" << 4096 << true << 0 << 0 << "Read 4096 bytes";
    QTest::newRow("application: restarts, read on return") << "application" << 3000 << true << 0 << 0
                                                           << "Read 3000 bytes";
    QTest::newRow("serial port: told \"boot\", read on return") << "serial port" << 3000 << true << 0 << 0
                                                                 << "Read 3000 bytes";
    QTest::newRow("no upload capability") << "bootloader" << 2500 << false << 0 << 11
                                          << "its DFU descriptor does not offer upload";
    QTest::newRow("left uploading by a killed read: aborted, then read") << "left uploading" << 2500 << true << 0 << 0
                                                                          << "Read 2500 bytes";
    QTest::newRow("holds nothing") << "bootloader" << 0 << true << 0 << 11 << "sent no firmware";
    QTest::newRow("a network device") << "network" << 0 << true << 0 << 11 << "A network device cannot be read";
    QTest::newRow("Ctrl+C during the read") << "bootloader" << 16 * 1024 * 1024 << true << int(SIGINT) << 130
                                            << "the device was not read";
}

void VornicCliTest::read()
{
    QFETCH(QString, mode);
    QFETCH(int, holds);
    QFETCH(bool, canUpload);
    QFETCH(int, signalNumber);
    QFETCH(int, code);
    QFETCH(QString, says);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const bool serial = mode == QLatin1String("serial port");
    EmulatedDfuDevice::Config config = readableDongara(mode, 9000);
    config.canUpload = canUpload;
    config.holds = TestImage::bytes(holds);
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    // Alike in all but its port and serial number: never asked anything.
    const EmulatedDfuDevice::Config besideConfig = besideDongara(TestImage::bytes(1000));
    EmulatedDfuDevice beside(besideConfig);
    QVERIFY(!beside.plug(testbed).isEmpty());
    // What stood in FILE before stays unless the read is whole.
    const QString file = writeImage(QStringLiteral("firmware.bin"), QByteArray("before"));
    const QString name = mode == QLatin1String("network") ? QStringLiteral("127.0.0.1:1") : QString::fromLatin1(config.serial);
    const Outcome outcome = run({ "read", name, file }, [&](QProcess &process) {
        if (!signalNumber)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(device.uploadRequests() >= 5, 10000);
        CliRun::signal(process, signalNumber);
    });
    QVERIFY2(outcome.code == code, (outcome.out + outcome.err).constData());
    QVERIFY2((code == 0 ? outcome.out : outcome.err).contains(says.toUtf8()), (outcome.out + outcome.err).constData());
    QFile read(file);
    QVERIFY(read.open(QIODevice::ReadOnly));
    QCOMPARE(read.readAll(), code == 0 ? config.holds : QByteArray("before"));
    // No temporary left beside it.
    QCOMPARE(QDir(m_dir.path()).entryList({ "firmware.bin*" }, QDir::Files), QStringList { "firmware.bin" });
    QCOMPARE(device.downloadRequests(), 0);
    QCOMPARE(device.detachReceived(), mode == QLatin1String("application"));
    QCOMPARE(device.serialReceived(), QByteArray(serial ? "boot\n" : ""));
    QVERIFY(beside.requests().isEmpty());
    if (signalNumber)
        QCOMPARE(int(device.requests().last().request), 6);
    device.unplug(testbed);
    beside.unplug(testbed);
}

// What a device held is kept before it is written, read in the session
// that writes it, and put back from the history: into that device alone,
// verified, and never from a file that no longer holds what was kept.
void VornicCliTest::backupAndRestore_data()
{
    QTest::addColumn<QString>("mode");              // bootloader, application, serial port
    QTest::addColumn<QString>("fault");             // no upload, tampered, another device's row
    QTest::addColumn<int>("code");                  // of the update, or of the restore after it
    QTest::addColumn<QString>("says");
    QTest::newRow("bootloader") << "bootloader" << "" << 0 << "verified: read back";
    QTest::newRow("application: backed up after its one detach") << "application" << "" << 0 << "verified: read back";
    QTest::newRow("serial port: backed up on its return") << "serial port" << "" << 0 << "verified: read back";
    QTest::newRow("no upload: not written") << "bootloader" << "no upload" << 11 << "nothing was written";
    QTest::newRow("tampered backup: not restored") << "bootloader" << "tampered" << 10
                                                   << "no longer holds what was stored";
    QTest::newRow("another device's backup: not restored") << "bootloader" << "another device" << 2
                                                           << "read from the device with serial number 04E2B9C9";
}

void VornicCliTest::backupAndRestore()
{
    QFETCH(QString, mode);
    QFETCH(QString, fault);
    QFETCH(int, code);
    QFETCH(QString, says);
    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    EmulatedDfuDevice::Config config = readableDongara(mode, 9001);
    config.canUpload = fault != QLatin1String("no upload");
    const QByteArray before = TestImage::bytes(2500);
    config.holds = before;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    // Alike but for its port and serial number, holding the same image:
    // backed up too, into the same file.
    const EmulatedDfuDevice::Config besideConfig = besideDongara(before);
    EmulatedDfuDevice beside(besideConfig);
    QVERIFY(!beside.plug(testbed).isEmpty());

    QByteArray after = TestImage::bytes(3000);
    after[0] = 'N';
    const QString image = writeImage(QStringLiteral("DG_NEW.IN2"), after);
    const QString name = QString::fromLatin1(config.serial);
    const Outcome update = run({ "update", name, image, "--backup", "--json" });
    const QString backups = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Ordane/backups");
    const QString kept = backups + QLatin1Char('/') + QString::fromLatin1(FirmwareImage::digestOf(before));
    if (fault == QLatin1String("no upload")) {
        QCOMPARE(update.code, code);
        QVERIFY2(update.err.contains(says.toUtf8()), update.err.constData());
        QCOMPARE(device.downloadRequests(), 0);
        QVERIFY(!QFile::exists(kept));
        return;
    }
    QVERIFY2(update.code == 0, (update.out + update.err).constData());
    // Read before the first block, in one session: one detach at most.
    const QVector<EmulatedDfuDevice::Request> requests = device.requests();
    const auto first = [&requests](quint8 request) {
        return std::find_if(requests.begin(), requests.end(),
                            [request](const EmulatedDfuDevice::Request &r) { return r.request == request; });
    };
    QVERIFY(first(2) < first(1));
    QCOMPARE(device.requestCount(0), mode == QLatin1String("application") ? 1 : 0);
    QCOMPARE(device.downloaded(), after);
    QFile file(kept);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    // The user's alone: the file and its folder.
    QCOMPARE(file.permissions() & 0x0077, QFileDevice::Permissions());
    QCOMPARE(QFile(backups).permissions() & 0x0077, QFileDevice::Permissions());
    const QJsonObject result = QJsonDocument::fromJson(update.out).array().first().toObject();
    QCOMPARE(result.value(QLatin1String("backupSha256")).toString(), QFileInfo(kept).fileName());
    QCOMPARE(run({ "update", "04E2B9C9", image, "--backup" }).code, 0);
    QCOMPARE(QDir(backups).entryList(QDir::Files | QDir::Hidden), QStringList { QFileInfo(kept).fileName() });
    const QJsonArray rows = QJsonDocument::fromJson(run({ "history", "--json" }).out).array();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(1).toObject().value(QLatin1String("backupSha256")).toString(), QFileInfo(kept).fileName());
    QCOMPARE(rows.at(1).toObject().value(QLatin1String("backupSize")).toInt(), before.size());
    const qint64 updateRow = rows.at(1).toObject().value(QLatin1String("id")).toVariant().toLongLong();
    const qint64 besideRow = rows.at(0).toObject().value(QLatin1String("id")).toVariant().toLongLong();
    // The store lists the one file with the rows that use it, and keeps it
    // while a recent row does.
    const Outcome listed = run({ "backups", "--prune-older-than", "1" });
    QCOMPARE(listed.code, 0);
    QVERIFY2(listed.out.contains(QStringLiteral("%1  %2  ").arg(QFileInfo(kept).fileName()).arg(before.size(), 10).toUtf8())
                 && listed.out.contains(QStringLiteral("rows %1,%2\n").arg(besideRow).arg(updateRow).toUtf8()),
             listed.out.constData());

    file.close();
    if (fault == QLatin1String("tampered")) {
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(100));
        QVERIFY(file.putChar('X'));
        file.close();
    }
    const int downloads = device.downloadRequests();
    QStringList restore { "restore", name, "--json" };
    if (fault == QLatin1String("another device"))
        restore << "--row" << QString::number(besideRow);
    const Outcome restored = run(restore);
    QVERIFY2(restored.code == code, (restored.out + restored.err).constData());
    const QJsonObject said = QJsonDocument::fromJson(restored.out).array().first().toObject();
    QVERIFY2((said.value(QLatin1String("message")).toString() + restored.err).contains(says),
             (restored.out + restored.err).constData());
    if (code != 0) {
        QCOMPARE(device.downloadRequests(), downloads);
        QCOMPARE(device.downloaded(), after);
        return;
    }
    QCOMPARE(device.downloaded(), before);
    QCOMPARE(said.value(QLatin1String("restoredRow")).toVariant().toLongLong(), updateRow);
    const QJsonObject newest = QJsonDocument::fromJson(run({ "history", "--json", "--limit", "1" }).out)
                                   .array().first().toObject();
    QCOMPARE(newest.value(QLatin1String("restoredRow")).toVariant().toLongLong(), updateRow);
    QCOMPARE(newest.value(QLatin1String("outcome")).toString(), QStringLiteral("verified"));
    QCOMPARE(beside.downloaded(), after);
    // Pruned once no row of the last 0 days uses it: nothing left to restore.
    QCOMPARE(run({ "backups", "--prune-older-than", "0" }).code, 0);
    QVERIFY(!QFile::exists(kept));
    const Outcome gone = run({ "restore", name });
    QVERIFY2(gone.code == 5 && gone.err.contains("is not there"), gone.err.constData());
    device.unplug(testbed);
    beside.unplug(testbed);
}

QTEST_MAIN(VornicCliTest)
#include "tst_vornic_cli.moc"
