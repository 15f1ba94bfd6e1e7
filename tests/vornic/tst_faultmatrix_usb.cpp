// The USB roads under faults, through vornic-cli as a user runs it: a device
// in its bootloader, a device in its application (two phases) and a device
// on a serial port (two phases). Each fault is injected at the first, a
// middle and the last block and at the end of the image; beside the chosen
// device sits another one like it. For every cell: the exit code, one
// sentence on stderr, the time bound, the image file untouched, nothing sent
// to the other device, and success only with the whole image manifested.
#include "testimage.h"
#include "clirun.h"
#include "emulateddfudevice.h"
#include "faultmatrix.h"
#include "usbtestbed.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const int imageSize = 8 * 1024;        // eight blocks of 1024 bytes
const int sigint = SIGINT;
const int sigterm = SIGTERM;

// A Dongara: in its bootloader, in its application, or with a serial port.
EmulatedDfuDevice::Config dongara(const QString &road, const QByteArray &port, int number, const QByteArray &serial)
{
    EmulatedDfuDevice::Config config;
    config.at(port, number);
    config.serial = serial;
    config.product = "Dongara NET";
    const bool bootloader = road == QLatin1String("bootloader");
    config.productId = bootloader ? 0x8015 : 0x0015;
    config.initialState = bootloader ? EmulatedDfuDevice::DfuIdle : EmulatedDfuDevice::AppIdle;
    if (road == QLatin1String("serial")) {
        config.deviceClass = 2;
        config.product = "Dongara";
        config.ttyName = number == 2 ? "ttyACM0" : "ttyACM1";
    }
    return config;
}

// DFU class requests: what writes or changes a device.
int classRequests(const EmulatedDfuDevice &device)
{
    int count = 0;
    for (const auto &r : device.requests())
        count += (r.requestType & 0x60) == 0x20;
    return count;
}

} // namespace

class UsbFaultMatrixTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cells_data();
    void cells();

private:
    QTemporaryDir m_dir;
    FaultMatrix m_matrix { QStringLiteral("USB (bootloader, application, serial port)") };
};

void UsbFaultMatrixTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void UsbFaultMatrixTest::cleanupTestCase()
{
    m_matrix.print();
}

void UsbFaultMatrixTest::cells_data()
{
    QTest::addColumn<QString>("road");          // bootloader, application, serial
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("deviceFault");       // EmulatedDfuDevice::Fault
    QTest::addColumn<int>("signal");            // sent when the step's request arrives
    QTest::addColumn<int>("download");          // the DFU_DNLOAD of the step, from 1
    QTest::addColumn<int>("code");              // expected exit code
    QTest::addColumn<int>("boundMs");

    struct Fault
    {
        const char *name;
        int deviceFault;
        int signal;
        int code;
        int boundMs;
    };
    const Fault faults[] = {
        { "device leaves", EmulatedDfuDevice::Leaves, 0, 3, 5000 },
        { "no answer", EmulatedDfuDevice::GoesSilent, 0, 7, 15000 },
        { "stalls the request", EmulatedDfuDevice::Stalls, 0, 6, 5000 },
        { "resets in the status stage", EmulatedDfuDevice::ResetsInStatus, 0, 6, 5000 },
        { "status fails (I/O error)", EmulatedDfuDevice::StatusIoError, 0, 6, 5000 },
        { "status of 5 bytes", EmulatedDfuDevice::ShortStatus, 0, 6, 5000 },
        { "wrong state", EmulatedDfuDevice::WrongState, 0, 6, 5000 },
        { "refuses (dfuERROR)", EmulatedDfuDevice::Refuses, 0, 6, 5000 },
        { "Ctrl+C", EmulatedDfuDevice::NoFault, sigint, 130, 5000 },
        { "SIGTERM", EmulatedDfuDevice::NoFault, sigterm, 143, 5000 },
    };
    const struct
    {
        const char *name;
        int download;
    } steps[] = { { "first block", 1 }, { "middle block", 4 }, { "last block", 8 }, { "end of image", 9 } };

    for (const char *road : { "bootloader", "application", "serial" }) {
        QTest::addRow("%s: no fault", road) << road << "none" << "-" << int(EmulatedDfuDevice::NoFault) << 0 << 0
                                            << 0 << 8000;
        for (const Fault &fault : faults) {
            for (const auto &step : steps) {
                // The two-phase roads share the download with the bootloader
                // road: their own cells are the middle of it.
                if (QLatin1String(road) != QLatin1String("bootloader") && step.download != 4)
                    continue;
                const QString row = QStringLiteral("%1: %2 at %3").arg(QLatin1String(road), QLatin1String(fault.name),
                                                                       QLatin1String(step.name));
                // A device that restarts (or goes quiet) as it takes the end of
                // the image was written: done, not confirmed. Only its
                // refusal fails it there.
                const bool restartsAtEnd = step.download == 9 && fault.deviceFault != EmulatedDfuDevice::NoFault
                    && fault.deviceFault != EmulatedDfuDevice::Stalls && fault.deviceFault != EmulatedDfuDevice::Refuses
                    && fault.deviceFault != EmulatedDfuDevice::ShortStatus
                    && fault.deviceFault != EmulatedDfuDevice::WrongState;
                QTest::newRow(qPrintable(row))
                    << road << fault.name << step.name << fault.deviceFault << fault.signal << step.download
                    << (restartsAtEnd ? 0 : fault.code) << fault.boundMs;
            }
        }
    }
    // The image file overwritten in place (a build writing its output) in the
    // middle of the download, or while the device restarts: the device gets
    // the image as it was read at the start, whole.
    QTest::addRow("bootloader: image overwritten at middle block")
        << "bootloader" << "image overwritten" << "middle block" << int(EmulatedDfuDevice::NoFault) << 0 << 4 << 0
        << 8000;
    QTest::addRow("application: image overwritten while it restarts")
        << "application" << "image overwritten" << "restart" << int(EmulatedDfuDevice::NoFault) << 0 << 0 << 0
        << 8000;
    // Waiting for the device to come back in its bootloader.
    for (const char *road : { "application", "serial" }) {
        QTest::addRow("%s: never comes back", road) << road << "never comes back" << "restart" << -1 << 0 << 0 << 7
                                                    << 8000;
        QTest::addRow("%s: Ctrl+C while it restarts", road)
            << road << "Ctrl+C" << "restart" << -1 << sigint << 0 << 130 << 5000;
    }
}

void UsbFaultMatrixTest::cells()
{
    QFETCH(QString, road);
    QFETCH(QString, fault);
    QFETCH(QString, step);
    QFETCH(int, deviceFault);
    QFETCH(int, signal);
    QFETCH(int, download);
    QFETCH(int, code);
    QFETCH(int, boundMs);
    FaultMatrix::Cell cell(&m_matrix, road + QLatin1String(": ") + fault, step);

    UsbTestbed testbed;
    QVERIFY(testbed.isValid());
    const QByteArray image = TestImage::bytes(imageSize);
    const QString path = m_dir.filePath(QStringLiteral("DG_MATRIX.IN2"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(image) == image.size());
    }
    const QDateTime modified = QFileInfo(path).lastModified();

    // The chosen device and, beside it, one like it. Chosen by port path on
    // USB, the other has even the same serial number; on the serial road the
    // device is awaited back by its serial number, which differs.
    const bool serialRoad = road == QLatin1String("serial");
    EmulatedDfuDevice::Config config = dongara(road, "1-3", 2, "04E2A1B2");
    EmulatedDfuDevice::Config otherConfig = dongara(road, "1-5", 7, serialRoad ? "04E2A1B3" : "04E2A1B2");
    // A device that is busy for 100 ms with every block: a signal sent when
    // a block arrives lands while that block is being taken.
    const bool overwrite = fault == QLatin1String("image overwritten");
    const QByteArray overwritten(image.size(), 'n');
    if (signal || overwrite) {
        config.busyPolls = 1;
        config.pollTimeout = 100;
    }
    // At the end of the image the device holds the step (it makes the image
    // its firmware for a second) until the signal has landed.
    const bool signalAtEnd = signal && download == 9;
    if (signalAtEnd)
        config.manifestMs = 1000;
    if (deviceFault >= 0) {
        config.fault = EmulatedDfuDevice::Fault(deviceFault);
        config.faultAtDownload = download;
    } else {
        config.detachDelay = -1;            // it never comes back
    }
    std::unique_ptr<EmulatedDfuDevice> device;
    config.unplugWhenLeaving = true;
    device.reset(new EmulatedDfuDevice(config));
    EmulatedDfuDevice other(otherConfig);
    QVERIFY(!device->plug(testbed).isEmpty());
    QVERIFY(!other.plug(testbed).isEmpty());

    const QString name = serialRoad ? QStringLiteral("/dev/ttyACM0") : QStringLiteral("1-3");
    QStringList arguments { QStringLiteral("update"), name, path };
    if (road != QLatin1String("bootloader"))
        arguments << QStringLiteral("--wait") << QStringLiteral("2");
    const CliRun result = CliRun::run(QStringLiteral(VORNIC_CLI), arguments, [&](QProcess &process) {
        if (overwrite) {
            QTRY_VERIFY_WITH_TIMEOUT(download > 0 ? device->downloadRequests() >= download : device->detachReceived(),
                                     20000);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write(overwritten) == overwritten.size());
            return;
        }
        if (!signal)
            return;
        // The signal goes when the step's request has arrived (for the
        // restart: once the device was told to restart).
        if (download > 0)
            QTRY_VERIFY_WITH_TIMEOUT(device->downloadRequests() >= download || process.state() == QProcess::NotRunning,
                                     20000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(device->detachReceived() || !device->serialReceived().isEmpty(), 20000);
        CliRun::signal(process, signal);
    });
    cell.setOutcome(QStringLiteral("exit %1: %2").arg(result.code).arg(CliRun::lastLine(result.code ? result.err : result.out)));

    // The device holds the whole image exactly when the program says done;
    // stopped while the device made the image its firmware (which cannot be
    // cut short), it holds it and the program says so, and not done.
    QVERIFY2(result.code == code, result.err.constData());
    const bool holds = device->downloaded() == image && device->manifestations() == 1;
    if (signalAtEnd)
        QVERIFY2(holds && result.err.contains("holds the new image"), result.err.constData());
    else
        QCOMPARE(result.code == 0, holds);
    if (result.code == 0) {
        QVERIFY(result.out.contains("Updated "));
        QCOMPARE(result.out.contains("not confirmed by the device"), deviceFault > EmulatedDfuDevice::NoFault);
        QVERIFY(!result.err.contains("vornic-cli: "));
    } else {
        // One sentence says what happened (after a signal, a notice that the
        // program is stopping may come first).
        QVERIFY2(result.saidOneSentence("vornic-cli"), result.err.constData());
    }
    QVERIFY2(result.ms < boundMs, qPrintable(QString::number(result.ms)));
    // The image file is as it was (or as the test overwrote it).
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), overwrite ? overwritten : image);
    if (!overwrite)
        QCOMPARE(QFileInfo(path).lastModified(), modified);
    // Nothing reached the other device: no DFU request, no "boot".
    QCOMPARE(classRequests(other), 0);
    QVERIFY(other.serialReceived().isEmpty());

    other.unplug(testbed);
    device->unplug(testbed);
}

QTEST_MAIN(UsbFaultMatrixTest)
#include "tst_faultmatrix_usb.moc"
