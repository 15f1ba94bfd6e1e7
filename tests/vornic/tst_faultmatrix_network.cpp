// The network road under faults, through vornic-cli as a user runs it: an
// 'I' image (start command, records, header, the device's check on a
// connection of its own) and a 'W' image (records only). Each fault is
// injected at the start, the first, a middle and the last record, the
// header and the check; another device like the chosen one listens beside
// it. For every cell: the exit code, one sentence on stderr, the time bound,
// the image file untouched, not a byte to the other device, and success
// only when the device holds the whole image.
#include "testimage.h"
#include "clirun.h"
#include "faultmatrix.h"
#include "simulateddevice.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const int records = 40;                 // of 32 bytes

NetworkDeviceSimulator::Options dongara()
{
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.serialNumber = "04E2E5F6";
    return options;
}

} // namespace

class NetworkFaultMatrixTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cells_data();
    void cells();

private:
    QTemporaryDir m_dir;
    FaultMatrix m_matrix { QStringLiteral("network upload ('I' and 'W' images)") };
};

void NetworkFaultMatrixTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void NetworkFaultMatrixTest::cleanupTestCase()
{
    m_matrix.print();
}

void NetworkFaultMatrixTest::cells_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("deviceFault");       // NetworkDeviceSimulator::Fault
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("boundMs");

    using Fault = NetworkDeviceSimulator::Fault;
    struct Kind
    {
        const char *name;
        Fault fault;
        int signal;
        int code;
        int boundMs;
    };
    const Kind kinds[] = {
        { "connection closed", Fault::Close, 0, 1, 5000 },
        { "connection reset", Fault::Reset, 0, 1, 5000 },
        { "no answer", Fault::Silent, 0, 7, 12000 },
        { "answer without status word", Fault::Garbage, 0, 7, 12000 },
        { "refuses (ERROR)", Fault::Refuse, 0, 6, 5000 },
        // The device holds the step until the signal has landed: a stop at
        // the very end is a stop too.
        { "Ctrl+C", Fault::Hold, SIGINT, 130, 5000 },
        { "SIGTERM", Fault::Hold, SIGTERM, 143, 5000 },
    };
    const QString middle = QStringLiteral("record %1").arg(records / 2);
    const QString last = QStringLiteral("record %1").arg(records);
    for (const char *mode : { "I", "W" }) {
        QStringList steps { QStringLiteral("record 1"), middle, last };
        if (QLatin1String(mode) == QLatin1String("I"))
            steps = QStringList { QStringLiteral("start") } + steps + QStringList { "header", "check" };
        QTest::newRow(qPrintable(QStringLiteral("%1: no fault").arg(QLatin1String(mode))))
            << mode << "none" << "-" << int(Fault::None) << 0 << 0 << 8000;
        // The image file overwritten in place mid-upload (a build writing its
        // output): the device gets the image as it was read, whole.
        QTest::newRow(qPrintable(QStringLiteral("%1: image overwritten at %2").arg(QLatin1String(mode), middle)))
            << mode << "image overwritten" << middle << int(Fault::None) << 0 << 0 << 8000;
        for (const Kind &kind : kinds) {
            // An answer to the check that holds no status word is not
            // understood at once: the device answered, and said no.
            for (const QString &step : qAsConst(steps))
                QTest::newRow(qPrintable(QStringLiteral("%1: %2 at %3").arg(QLatin1String(mode),
                                                                          QLatin1String(kind.name), step)))
                    << mode << kind.name << step << int(kind.fault) << kind.signal
                    << (kind.fault == Fault::Garbage && step == QLatin1String("check") ? 6 : kind.code)
                    << kind.boundMs;
        }
    }
    // Every record and the header taken, and no connection for the check:
    // written, not checked.
    QTest::newRow("I: unreachable for the check after header")
        << "I" << "unreachable for the check" << "header" << int(Fault::Unreachable) << 0 << 9 << 5000;
}

void NetworkFaultMatrixTest::cells()
{
    QFETCH(QString, mode);
    QFETCH(QString, fault);
    QFETCH(QString, step);
    QFETCH(int, deviceFault);
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(int, boundMs);
    FaultMatrix::Cell cell(&m_matrix, mode + QLatin1String(": ") + fault, step);

    const QByteArray image = TestImage::bytes(records * 32);
    // The name says the kind: INB is written in 'W' records, IN2 in 'I'.
    const QString path = m_dir.filePath(mode == QLatin1String("W") ? QStringLiteral("DG_INB.IN2")
                                                                   : QStringLiteral("DG_NET.IN2"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(image) == image.size());
    }
    const QDateTime modified = QFileInfo(path).lastModified();

    NetworkDeviceSimulator::Options options = dongara();
    options.fault = NetworkDeviceSimulator::Fault(deviceFault);
    options.faultStep = step.toLatin1();
    const bool overwrite = fault == QLatin1String("image overwritten");
    const QByteArray overwritten(image.size(), 'n');
    if (signal || overwrite) {
        // Slow enough that a signal sent when the step arrives lands in it.
        options.recordDelay = 40;
        options.checkDelay = signal ? 1000 : 0;
    }
    SimulatedDevice device(options);
    QVERIFY(device.isListening());
    // Beside it, one like it where a mix-up would reach it: the same port on
    // the next loopback address.
    NetworkDeviceSimulator::Options otherOptions = dongara();
    otherOptions.address = QHostAddress(QStringLiteral("127.0.0.2"));
    otherOptions.port = device.port();
    SimulatedDevice other(otherOptions);
    QVERIFY(other.isListening());

    // What the step looks like in the device's journal.
    const auto reached = [&device, &step] {
        const QStringList journal = device.journal();
        if (step.startsWith(QLatin1String("record ")))
            return journal.filter(QStringLiteral(" record ")).size() >= step.mid(7).toInt();
        if (step == QLatin1String("start"))
            return !journal.filter(QStringLiteral("start I0")).isEmpty();
        if (step == QLatin1String("header"))
            return !journal.filter(QStringLiteral(" header ")).isEmpty();
        return !journal.filter(QStringLiteral(" check ")).isEmpty() || !journal.filter(QStringLiteral("connect 3")).isEmpty();
    };
    const QStringList arguments { QStringLiteral("update"), QStringLiteral("127.0.0.1:%1").arg(device.port()), path };
    const CliRun result = CliRun::run(QStringLiteral(VORNIC_CLI), arguments, [&](QProcess &process) {
        if (overwrite) {
            QTRY_VERIFY_WITH_TIMEOUT(reached() || process.state() == QProcess::NotRunning, 20000);
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write(overwritten) == overwritten.size());
            return;
        }
        if (!signal)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(reached() || process.state() == QProcess::NotRunning, 20000);
        CliRun::signal(process, signal);
    });
    cell.setOutcome(QStringLiteral("exit %1: %2").arg(result.code).arg(CliRun::lastLine(result.code ? result.err : result.out)));

    QVERIFY2(result.code == code, result.err.constData());
    // Done only with the whole image on the device: checked by the device
    // itself for an 'I' image, every record acknowledged for a 'W' one.
    if (result.code == 0) {
        QCOMPARE(mode == QLatin1String("W") ? device.image('W') : device.checkedImage(), image);
        QVERIFY(!result.err.contains("vornic-cli: "));
    } else {
        QVERIFY2(result.saidOneSentence("vornic-cli"), result.err.constData());
    }
    if (mode == QLatin1String("I") && result.code != 0)
        QVERIFY(device.checkedImage().isEmpty());
    if (result.code == 9)
        QCOMPARE(device.image('I'), image);
    QVERIFY2(result.ms < boundMs, qPrintable(QString::number(result.ms)));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), overwrite ? overwritten : image);
    if (!overwrite)
        QCOMPARE(QFileInfo(path).lastModified(), modified);
    // Not one connection to the other device.
    QVERIFY(other.journal().isEmpty());
}

QTEST_MAIN(NetworkFaultMatrixTest)
#include "tst_faultmatrix_network.moc"
