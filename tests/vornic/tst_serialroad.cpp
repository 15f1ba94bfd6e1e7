// The serial road through the window, against emulated COM-port devices
// (runs under umockdev-wrapper: each tty is a pseudo-terminal whose udev
// properties name the vendor, product and serial): listing, the local-server
// step, "boot\n", and the second phase through USB.
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "devicebench.h"
#include "interruptsignal.h"
#include "modaldriver.h"
#include "testhistory.h"
#include "serialportinuse.h"

#include <QListWidget>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <dlfcn.h>
#include <termios.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::mutex termiosMutex;
std::vector<struct termios> termiosSet;

} // namespace

// Every line setting the serial port module applies passes through here, so
// the test sees what the device's line was set to while the port was open.
extern "C" int tcsetattr(int fd, int actions, const struct termios *settings)
{
    using Real = int (*)(int, int, const struct termios *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    {
        std::lock_guard<std::mutex> lock(termiosMutex);
        termiosSet.push_back(*settings);
    }
    return real(fd, actions, settings);
}

class SerialRoadTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void listing_data();
    void listing();
    void emptySerialNumberWarns();
    void portArrivingAfterItsDeviceIsListed();
    void portInUseTexts_data();
    void portInUseTexts();
    void localServerName_data();
    void localServerName();
    void noLocalServerNoPause();
    void bootCommandAtBaud9600();
    void portHeldByAnotherProgram();
    void portGoneBeforeUpdate();
    void twoPhaseUpdate();
    void sameSerialTwiceAndNoReturn_data();
    void sameSerialTwiceAndNoReturn();
    void secondPhaseEnds_data();
    void secondPhaseEnds();

private:
    struct Port
    {
        quint16 vendorId = 0x3B5D;
        quint16 productId = 0x0011;
        QByteArray serial = "0500A1B2";
        // What the bootloader it restarts into does wrong (see
        // EmulatedDfuDevice::Config).
        EmulatedDfuDevice::Fault fault = EmulatedDfuDevice::NoFault;
        int faultAtDownload = 0;
    };
    // Adds a COM-port device; returns it (owned by the test) or null.
    EmulatedDfuDevice *addPort(const Port &port, int detachDelay = -1, int ttyDelay = 0);
    QString imagePath();
    void makeWindow();

    std::unique_ptr<DeviceBench> m_bench;
    std::unique_ptr<CMNDialog> m_window;
    QByteArray m_image;
    int m_nextPort = 0;
    QStringList m_ttys;                      // of the ports added, in order
};

void SerialRoadTest::init()
{
    m_bench.reset(new DeviceBench);
    QVERIFY2(m_bench->isValid(), "run under umockdev-wrapper");
    m_nextPort = 0;
    m_ttys.clear();
    m_image = QByteArray(3000, Qt::Uninitialized);
    for (int i = 0; i < m_image.size(); ++i)
        m_image[i] = char(i * 7 + (i >> 5));
    std::lock_guard<std::mutex> lock(termiosMutex);
    termiosSet.clear();
}

void SerialRoadTest::cleanup()
{
    m_window.reset();
    m_bench.reset();
}

EmulatedDfuDevice *SerialRoadTest::addPort(const Port &port, int detachDelay, int ttyDelay)
{
    // Port lock files live in the system's lock directory: names differ per
    // process so that test programs running side by side never share one.
    const int number = 100 + (QCoreApplication::applicationPid() % 400) * 2 + m_nextPort++;
    EmulatedDfuDevice::Config config;
    config.vendorId = port.vendorId;
    config.productId = port.productId;
    config.serial = port.serial;
    config.product = "Primora";
    config.deviceClass = 2;
    config.initialState = EmulatedDfuDevice::AppIdle;
    config.at("1-" + QByteArray::number(m_nextPort + 1), 10 + 2 * m_nextPort);
    config.ttyName = "ttyACM" + QByteArray::number(number);
    m_ttys << QString::fromLatin1(config.ttyName);
    config.detachDelay = detachDelay;
    config.ttyDelay = ttyDelay;
    config.fault = port.fault;
    config.faultAtDownload = port.faultAtDownload;
    config.unplugWhenLeaving = true;
    return m_bench->add(config);
}

QString SerialRoadTest::imagePath()
{
    return m_bench->storeImage(m_image);
}

void SerialRoadTest::makeWindow()
{
    m_window.reset(new CMNDialog);
    probe(m_window).chooseImage(imagePath());
}

void SerialRoadTest::listing_data()
{
    QTest::addColumn<QList<int>>("vendors");
    QTest::addColumn<QList<int>>("products");
    QTest::addColumn<QStringList>("serials");
    QTest::addColumn<QStringList>("expected");     // %1, %2...: the tty names

    QTest::newRow("Primora") << QList<int>{ 0x3B5D } << QList<int>{ 0x0011 } << QStringList{ "0500A1B2" }
                             << QStringList{ "Primora S/N: 0500A1B2 via %1" };
    QTest::newRow("types by product") << QList<int>{ 0x3B5D, 0x3B5D, 0x3B5D, 0x3B5D }
                                      << QList<int>{ 0x0013, 0x0014, 0x0015, 0x0016 }
                                      << QStringList{ "A1", "A2", "A3", "A4" }
                                      << QStringList{ "Socara S/N: A1 via %1", "Beamora S/N: A2 via %2",
                                                      "Dongara S/N: A3 via %3", "Unknown device S/N: A4 via %4" };
    QTest::newRow("other vendor") << QList<int>{ 0x1D6B } << QList<int>{ 0x0011 } << QStringList{ "0500A1B2" }
                                  << QStringList();
    QTest::newRow("same serial twice") << QList<int>{ 0x3B5D, 0x3B5D } << QList<int>{ 0x0012, 0x0012 }
                                       << QStringList{ "0400C3D4", "0400C3D4" }
                                       << QStringList{ "Socara S/N: 0400C3D4 via %1", "Socara S/N: 0400C3D4 via %2" };
}

void SerialRoadTest::listing()
{
    QFETCH(QList<int>, vendors);
    QFETCH(QList<int>, products);
    QFETCH(QStringList, serials);
    QFETCH(QStringList, expected);

    for (int i = 0; i < vendors.size(); ++i) {
        Port port;
        port.vendorId = quint16(vendors[i]);
        port.productId = quint16(products[i]);
        port.serial = serials[i].toLatin1();
        QVERIFY(addPort(port));
    }
    QStringList wanted;
    for (const QString &text : expected) {
        QString row = text;
        for (int i = 0; i < m_ttys.size(); ++i)
            row.replace(QStringLiteral("%%1").arg(i + 1), m_ttys[i]);
        wanted << row;
    }

    ModalDriver driver(ModalDriver::dismissAll());
    makeWindow();
    QStringList seen = ui(m_window).rowTexts();
    // The order is the system's; compare as sets, then check the data.
    seen.sort();
    wanted.sort();
    QCOMPARE(seen, wanted);
    QCOMPARE(driver.handledCount(), 0);
    for (int i = 0; i < ui(m_window).listWidget->count(); ++i) {
        const QVariant data = ui(m_window).listWidget->item(i)->data(Qt::UserRole);
        QCOMPARE(QMetaType(data.userType()).name(), QByteArray("QSerialPortInfo"));
        const QSerialPortInfo info = data.value<QSerialPortInfo>();
        QVERIFY(ui(m_window).listWidget->item(i)->text().endsWith(QLatin1String(" via ") + info.portName()));
        QCOMPARE(info.vendorIdentifier(), quint16(0x3B5D));
    }
    if (!wanted.isEmpty())
        QCOMPARE(ui(m_window).listWidget->currentRow(), 0);
}

void SerialRoadTest::emptySerialNumberWarns()
{
    Port empty;
    empty.serial.clear();
    QVERIFY(addPort(empty));
    Port good;
    good.serial = "0500E5F6";
    QVERIFY(addPort(good));

    QStringList parents;
    ModalDriver driver([&](QWidget *widget) {
        parents << (widget->parentWidget() ? QStringLiteral("window") : QStringLiteral("none"));
        ModalDriver::pressButton(qobject_cast<QMessageBox *>(widget), QStringLiteral("OK"));
    });
    makeWindow();
    QCOMPARE(driver.seen(), QStringList({ "Vornic|Serial number is empty!" }));
    QCOMPARE(parents, QStringList({ "window" }));
    QCOMPARE(ui(m_window).rowTexts().size(), 1);
    QVERIFY(ui(m_window).rowTexts().at(0).startsWith(QLatin1String("Primora S/N: 0500E5F6 via ")));

    // Again at every refresh.
    m_window->enumDevices();
    QCOMPARE(driver.handledCount(), 2);
    QCOMPARE(ui(m_window).rowTexts().size(), 1);
}

void SerialRoadTest::portArrivingAfterItsDeviceIsListed()
{
    makeWindow();
    QCOMPARE(ui(m_window).rowTexts().size(), 0);
    // The USB device arrives first and is handled without its port.
    QVERIFY(addPort(Port(), -1, 300));
    QTRY_VERIFY(probe(m_window).traceEdit()->toPlainText().contains(QLatin1String("device connected")));
    QCOMPARE(ui(m_window).rowTexts().size(), 0);
    QTRY_COMPARE(ui(m_window).rowTexts(), QStringList({ QStringLiteral("Primora S/N: 0500A1B2 via ") + m_ttys.at(0) }));
    // No second trace line: the port is not a device arrival.
    QCOMPARE(probe(m_window).traceEdit()->toPlainText().count(QLatin1String("device connected")), 1);
}

void SerialRoadTest::portInUseTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("inUse");
    QTest::newRow("Windows") << "Access is denied." << true;
    QTest::newRow("lock file") << "Permission error while locking the device" << true;
    QTest::newRow("exclusive open") << QString::fromLocal8Bit(strerror(EBUSY)) << true;
    QTest::newRow("no permission") << QString::fromLocal8Bit(strerror(EACCES)) << false;
    QTest::newRow("no such port") << QString::fromLocal8Bit(strerror(ENOENT)) << false;
    QTest::newRow("empty") << QString() << false;
}

void SerialRoadTest::portInUseTexts()
{
    QFETCH(QString, text);
    QFETCH(bool, inUse);
    QCOMPARE(serialPortInUse(text), inUse);
}

void SerialRoadTest::localServerName_data()
{
    const QString serial = QStringLiteral("%1").arg(QCoreApplication::applicationPid() % 100000000, 8, 10,
                                                    QLatin1Char('0'));
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("name");
    QTest::newRow("8 characters") << "Primora S/N: " + serial + " via ttyACM0" << serial;
    QTest::newRow("7 characters and a blank") << "Primora S/N: " + serial.mid(1) + " via ttyACM0"
                                              << serial.mid(1) + " ";
    QTest::newRow("no S/N") << "Prim" + serial + " via ttyACM0" << serial;
}

void SerialRoadTest::localServerName()
{
    QFETCH(QString, entry);
    QFETCH(QString, name);
    makeWindow();
    QLocalServer::removeServer(name);
    QLocalServer server;
    QVERIFY2(server.listen(name), qPrintable(server.errorString()));

    QTest::ignoreMessage(QtDebugMsg, qPrintable(name));
    QElapsedTimer timer;
    timer.start();
    m_window->nudgeLocalServer(entry);
    QVERIFY2(timer.elapsed() >= 200, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(server.hasPendingConnections() || server.waitForNewConnection(1000));
    QLocalSocket *peer = server.nextPendingConnection();
    QVERIFY(peer);
    QCOMPARE(peer->bytesAvailable(), qint64(0));
}

void SerialRoadTest::noLocalServerNoPause()
{
    makeWindow();
    const QString name = QStringLiteral("N%1").arg(QCoreApplication::applicationPid() % 10000000, 7, 10,
                                                   QLatin1Char('0'));
    QLocalServer::removeServer(name);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(name));
    QElapsedTimer timer;
    timer.start();
    m_window->nudgeLocalServer("Primora S/N: " + name + " via ttyACM0");
    // Short of the 200 ms a listening server is given, with room for load.
    QVERIFY2(timer.elapsed() < 190, qPrintable(QString::number(timer.elapsed())));
}

void SerialRoadTest::bootCommandAtBaud9600()
{
    EmulatedDfuDevice *device = addPort(Port());
    QVERIFY(device);
    makeWindow();
    QCOMPARE(ui(m_window).rowTexts().size(), 1);

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(driver.handledCount(), 0);
    QTRY_COMPARE(device->serialReceived(), QByteArray("boot\n"));
    QCOMPARE(probe(m_window).pendingSerialNumber(), QStringLiteral("0500A1B2"));
    QCOMPARE(probe(m_window).reconnectMode().load(), 0);
    // The controls wait for the device's return as a USB device.
    QVERIFY(!ui(m_window).updBtn->isEnabled());
    QVERIFY(!ui(m_window).loadImg->isEnabled());
    QVERIFY(!probe(m_window).future().isRunning());

    std::lock_guard<std::mutex> lock(termiosMutex);
    int at9600 = 0;
    for (const struct termios &t : termiosSet) {
        if (cfgetospeed(&t) != B9600)
            continue;
        ++at9600;
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));
        // Raw output: the line feed is not turned into CR LF on the way.
        QCOMPARE(t.c_oflag & OPOST, tcflag_t(0));
    }
    QVERIFY(at9600 > 0);
}

void SerialRoadTest::portHeldByAnotherProgram()
{
    EmulatedDfuDevice *device = addPort(Port());
    QVERIFY(device);
    makeWindow();
    const QString portName = ui(m_window).listWidget->item(0)->data(Qt::UserRole).value<QSerialPortInfo>().portName();

    QProcess holder;
    // The holder needs the emulated devices too.
    holder.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    holder.start(QStringLiteral(SERIAL_PORT_HOLDER), { portName });
    QVERIFY(holder.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 5000);
    QCOMPARE(holder.readLine(), QByteArray("held\n"));

    QString title;
    ModalDriver driver([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        QVERIFY(box);
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->parentWidget(), m_window.get());
        ModalDriver::pressButton(box, QStringLiteral("OK"));
    });
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(5000));

    QCOMPARE(driver.handledCount(), 1);
    const QString seen = driver.seen().at(0);
    QVERIFY2(seen.startsWith(QLatin1String("Error|")) && seen.endsWith(QLatin1String(" Serial port is in use!")),
             qPrintable(seen));
    QVERIFY(device->serialReceived().isEmpty());
    QVERIFY(probe(m_window).controlsAre(true));
    // The device was told nothing: its bootloader turning up later (as
    // another device of the same serial number) is not written.
    QCOMPARE(probe(m_window).pendingSerialNumber(), QString());
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora();
    config.at("1-9", 40);
    EmulatedDfuDevice bootloader(config);
    QVERIFY(!bootloader.plug(m_bench->testbed()).isEmpty());
    QTRY_COMPARE(ui(m_window).rowTexts().size(), 2);
    QTest::qWait(100);
    QVERIFY(!probe(m_window).future().isRunning());
    QVERIFY(bootloader.downloaded().isEmpty());
    QVERIFY(probe(m_window).controlsAre(true));
    bootloader.unplug(m_bench->testbed());
}

void SerialRoadTest::portGoneBeforeUpdate()
{
    makeWindow();
    // A row whose port has gone since the list was made.
    m_window->addListEntry(QStringLiteral("Primora S/N: 0500A1B2 via ttyACM99"),
                           QVariant::fromValue(QSerialPortInfo(QStringLiteral("ttyACM99"))));
    m_window->updateUpdateButton();

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(driver.handledCount(), 1);
    const QString seen = driver.seen().at(0);
    QVERIFY2(seen.startsWith(QLatin1String("Error|")) && !seen.contains(QLatin1String("in use")),
             qPrintable(seen));
    QVERIFY(probe(m_window).controlsAre(true));
    QCOMPARE(probe(m_window).pendingSerialNumber(), QString());
    QCOMPARE(probe(m_window).reconnectMode().load(), 0);
    QVERIFY(!probe(m_window).updateOwner()->returnDeadlineRunning());
}

void SerialRoadTest::twoPhaseUpdate()
{
    // Another device already waits in its bootloader: it comes first in the
    // list, and it must not be the one written.
    EmulatedDfuDevice::Config otherConfig;
    otherConfig.product = "Socara";
    otherConfig.serial = "0400FFFF";
    otherConfig.at("1-9", 40);
    EmulatedDfuDevice other(otherConfig);
    QVERIFY(!other.plug(m_bench->testbed()).isEmpty());
    EmulatedDfuDevice *device = addPort(Port(), 100);
    QVERIFY(device);
    makeWindow();
    QCOMPARE(ui(m_window).rowTexts().size(), 2);
    QCOMPARE(ui(m_window).rowTexts().at(0), QStringLiteral("Socara S/N: 0400FFFF bootloader"));
    QCOMPARE(ui(m_window).rowTexts().at(1), QStringLiteral("Primora S/N: 0500A1B2 via ") + m_ttys.at(0));
    ui(m_window).listWidget->setCurrentRow(1);

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    // "boot\n", the tty and its USB device leave, the bootloader arrives and
    // its download starts by itself.
    QTRY_COMPARE_WITH_TIMEOUT(device->reenumerations(), 1, 5000);
    QCOMPARE(device->serialReceived(), QByteArray("boot\n"));
    QTRY_VERIFY_WITH_TIMEOUT(device->downloaded() == m_image, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);

    QCOMPARE(driver.handledCount(), 0);
    QVERIFY(other.downloaded().isEmpty());
    QCOMPARE(ui(m_window).listWidget->currentItem()->text(), QStringLiteral("Primora S/N: 0500A1B2 bootloader"));
    QCOMPARE(probe(m_window).reconnectMode().load(), -1);
    QVERIFY(probe(m_window).pendingSerialNumber().isEmpty());
    other.unplug(m_bench->testbed());
}

void SerialRoadTest::sameSerialTwiceAndNoReturn_data()
{
    QTest::addColumn<int>("chosen");
    QTest::newRow("first of two ports") << 0;
    QTest::newRow("second of two ports") << 1;
}

void SerialRoadTest::sameSerialTwiceAndNoReturn()
{
    QFETCH(int, chosen);
    // Two ports with one serial number; the chosen one restarts only after
    // the window has stopped waiting.
    EmulatedDfuDevice *devices[2] = { addPort(Port(), 1200), addPort(Port(), 1200) };
    QVERIFY(devices[0] && devices[1]);
    makeWindow();
    probe(m_window).updateOwner()->setReturnTimeout(300);
    const QString wanted = QStringLiteral("Primora S/N: 0500A1B2 via ") + m_ttys.at(chosen);
    QVERIFY(ui(m_window).rowTexts().contains(wanted));
    ui(m_window).listWidget->setCurrentRow(ui(m_window).rowTexts().indexOf(wanted));

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_COMPARE(devices[chosen]->serialReceived(), QByteArray("boot\n"));
    QVERIFY(devices[1 - chosen]->serialReceived().isEmpty());
    QCOMPARE(probe(m_window).pendingSerialNumber(), QStringLiteral("0500A1B2"));
    QVERIFY(!ui(m_window).updBtn->isEnabled() && !ui(m_window).loadImg->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(driver.handledCount(), 1, 5000);
    QVERIFY2(driver.seen().at(0).contains(QLatin1String("did not come back in its bootloader")),
             qPrintable(driver.seen().at(0)));
    QVERIFY(probe(m_window).controlsAre(true));
    QVERIFY(probe(m_window).pendingSerialNumber().isEmpty());
    // One row, for the port written, ended by the wait.
    const UpdateHistory::Entry row = TestHistory::onlyRow();
    QCOMPARE(row.outcome, QStringLiteral("timeout"));
    QCOMPARE(row.road, QStringLiteral("serial"));
    QVERIFY2(row.place.endsWith(m_ttys.at(chosen)), qPrintable(row.place));

    // Its bootloader arrives late with the awaited serial number: listed,
    // not written.
    QTRY_COMPARE_WITH_TIMEOUT(devices[chosen]->reenumerations(), 1, 5000);
    QTRY_VERIFY(ui(m_window).rowTexts().contains(QStringLiteral("Primora S/N: 0500A1B2 bootloader")));
    QTest::qWait(100);
    QVERIFY(!probe(m_window).future().isRunning());
    QVERIFY(devices[chosen]->downloaded().isEmpty());
    QCOMPARE(driver.handledCount(), 1);
}

// The window's side of the fault matrix on this road: the bootloader the
// chosen port restarted into fails at a middle block or at the end of the
// image, or the user stops while it restarts. The job ends with one cause
// said, the controls back and the bar saying the update failed; the port
// beside it, alike but for its serial number, hears nothing.
void SerialRoadTest::secondPhaseEnds_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("download");          // 3000 bytes: blocks 1 to 3, the end is the 4th
    QTest::addColumn<QString>("says");          // empty: written; "signal": Ctrl+C during the restart
    QTest::newRow("no fault") << int(EmulatedDfuDevice::NoFault) << 0 << "";
    QTest::newRow("leaves at a middle block") << int(EmulatedDfuDevice::Leaves) << 2 << "left the bus at block 2 of 3";
    QTest::newRow("5-byte status at a middle block") << int(EmulatedDfuDevice::ShortStatus) << 2 << "Download error!";
    QTest::newRow("refuses the end of the image") << int(EmulatedDfuDevice::Refuses) << 4
                                                  << "refused the image at its end";
    QTest::newRow("wrong state after the end") << int(EmulatedDfuDevice::WrongState) << 4
                                               << "reports DFU state appIDLE after the end";
    QTest::newRow("Ctrl+C while it restarts") << int(EmulatedDfuDevice::NoFault) << 0 << "signal";
}

void SerialRoadTest::secondPhaseEnds()
{
    QFETCH(int, fault);
    QFETCH(int, download);
    QFETCH(QString, says);
    const bool signal = says == QLatin1String("signal");
    Port chosenPort;
    chosenPort.fault = EmulatedDfuDevice::Fault(fault);
    chosenPort.faultAtDownload = download;
    Port otherPort;
    otherPort.serial = "0500A1B3";
    EmulatedDfuDevice *device = addPort(chosenPort, signal ? 800 : 100);
    EmulatedDfuDevice *other = addPort(otherPort, 100);
    QVERIFY(device && other);
    makeWindow();
    m_window->show();
    const QString wanted = QStringLiteral("Primora S/N: 0500A1B2 via ") + m_ttys.at(0);
    QVERIFY(ui(m_window).rowTexts().contains(wanted));
    ui(m_window).listWidget->setCurrentRow(ui(m_window).rowTexts().indexOf(wanted));

    ModalDriver driver(ModalDriver::dismissAll());
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_COMPARE(device->serialReceived(), QByteArray("boot\n"));
    if (signal) {
        InterruptSignal::install();
        ::raise(SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 2000);
        InterruptSignal::flag() = false;
        QCOMPARE(probe(m_window).reconnectMode().load(), -1);
        QVERIFY(probe(m_window).pendingSerialNumber().isEmpty());
        // Its bootloader arrives after the stop: listed, not written.
        QTRY_COMPARE_WITH_TIMEOUT(device->reenumerations(), 1, 5000);
        QTRY_VERIFY(ui(m_window).rowTexts().contains(QStringLiteral("Primora S/N: 0500A1B2 bootloader")));
        QTest::qWait(200);
        QVERIFY(!probe(m_window).future().isRunning());
        QVERIFY(device->downloaded().isEmpty());
        QCOMPARE(driver.handledCount(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(device->reenumerations(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).reconnectMode().load() == -1
                                     && probe(m_window).controlsAre(true),
                                 15000);
        QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));
        const QString bar = ui(m_window).progressBar->text();
        if (says.isEmpty()) {
            QCOMPARE(driver.handledCount(), 0);
            QCOMPARE(bar, QStringLiteral("Update complete"));
            QCOMPARE(device->downloaded(), m_image);
            QCOMPARE(device->manifestations(), 1);
        } else {
            QTRY_VERIFY(driver.handledCount() > 0);
            QVERIFY2(driver.seen().filter(says).size() == 1 && driver.handledCount() <= 2,
                     qPrintable(driver.seen().join('\n')));
            QCOMPARE(bar, QStringLiteral("Update failed"));
            QCOMPARE(device->manifestations(), 0);
        }
    }
    QVERIFY(other->serialReceived().isEmpty());
    QCOMPARE(other->reenumerations(), 0);
    for (const auto &r : other->requests())
        QVERIFY((r.requestType & 0x60) != 0x20);
}

QTEST_MAIN(SerialRoadTest)
#include "tst_serialroad.moc"
