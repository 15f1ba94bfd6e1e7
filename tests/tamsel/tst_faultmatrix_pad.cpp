// Tamsel's roads under faults, through tamsel-cli as a user runs it:
// Modbus over the RS-485 backend, through the USB converter model to a pad
// with another pad on the same line, and infrared on the simulated adapter.
// Each fault is injected at the first, a middle and the last record (or
// frame). For every cell: the exit code, one sentence on stderr, the time
// bound, the image file untouched, no frame addressed to the other pad, and
// success only when the pad holds the whole image.
#include "testimage.h"
#include "clirun.h"
#include "faultmatrix.h"

#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const int records = 30;                 // Modbus records of 32 bytes; 20 infrared frames, each sent 3 times

QByteArray imageBytes()
{
    return TestImage::bytes(records * 32);
}

// What a test writes over the image file while it is sent.
QByteArray overwrittenImage()
{
    return QByteArray(records * 32, 'n');
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class PadFaultMatrixTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void modbus_data();
    void modbus();
    void infrared_data();
    void infrared();

private:
    // The image in a fresh folder that also holds Tamsel's settings.
    bool prepare(QTemporaryDir *dir, QString *imagePath, QDateTime *modified);
    // `overwritten`: the test wrote over the image file during the run.
    void checkCommon(const CliRun &result, int code, int boundMs, const QString &imagePath, const QDateTime &modified,
                     bool overwritten = false);

    FaultMatrix m_modbus { QStringLiteral("Modbus over the RS-485 backend") };
    FaultMatrix m_infrared { QStringLiteral("infrared on the simulated adapter") };
};

void PadFaultMatrixTest::initTestCase()
{
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"), { "-c", "import serial" }) != 0)
        QSKIP("needs Debian's python3-serial (scripts/deps.sh installs it)");
}

void PadFaultMatrixTest::cleanupTestCase()
{
    m_modbus.print();
    m_infrared.print();
}

bool PadFaultMatrixTest::prepare(QTemporaryDir *dir, QString *imagePath, QDateTime *modified)
{
    if (!dir->isValid())
        return false;
    *imagePath = TestImage::store(dir->path(), QStringLiteral("PAD.INC"), imageBytes());
    if (imagePath->isEmpty())
        return false;
    *modified = QFileInfo(*imagePath).lastModified();
    qputenv("XDG_CONFIG_HOME", dir->path().toLocal8Bit());
    return true;
}

void PadFaultMatrixTest::checkCommon(const CliRun &result, int code, int boundMs, const QString &imagePath,
                                     const QDateTime &modified, bool overwritten)
{
    // The code every cell requires, whatever the run did.
    QVERIFY2(result.code == code, result.err.constData());
    if (result.code == 0) {
        QVERIFY(result.out.contains("Wrote "));
        QVERIFY(!result.err.contains("tamsel-cli: "));
    } else {
        QVERIFY2(result.saidOneSentence("tamsel-cli"), result.err.constData());
    }
    QVERIFY2(result.ms < boundMs, qPrintable(QString::number(result.ms)));
    QCOMPARE(readFile(imagePath), overwritten ? overwrittenImage() : imageBytes());
    if (!overwritten)
        QCOMPARE(QFileInfo(imagePath).lastModified(), modified);
}

void PadFaultMatrixTest::modbus_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("padFault");     // what faulty_pad.py does at the record
    QTest::addColumn<int>("record");
    QTest::addColumn<QString>("action");       // done by the test at the record: kill-converter, sigint, sigterm
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("boundMs");

    struct Kind
    {
        const char *name;
        const char *padFault;
        const char *action;
        int code;
        int boundMs;
    };
    const Kind kinds[] = {
        { "converter unplugged", "slow", "kill-converter", 1, 5000 },
        { "no answer", "silent", "", 7, 5000 },
        { "bad CRC", "bad-crc", "", 1, 5000 },
        { "another pad answers", "other-slave", "", 1, 5000 },
        { "refuses (exception)", "exception", "", 6, 5000 },
        { "Ctrl+C", "slow", "sigint", 130, 5000 },
        { "SIGTERM", "slow", "sigterm", 143, 5000 },
    };
    QTest::newRow("no fault") << "none" << "none" << 0 << "" << 0 << 5000;
    // The pad gets the image as it was read at the start, whole.
    QTest::newRow("image overwritten at middle record") << "image overwritten" << "slow" << records / 2
                                                        << "overwrite-image" << 0 << 5000;
    const struct
    {
        const char *name;
        int record;
    } steps[] = { { "first record", 1 }, { "middle record", records / 2 }, { "last record", records } };
    for (const Kind &kind : kinds) {
        for (const auto &step : steps)
            QTest::newRow(qPrintable(QStringLiteral("%1 at %2").arg(QLatin1String(kind.name), QLatin1String(step.name))))
                << kind.name << kind.padFault << step.record << kind.action << kind.code << kind.boundMs;
    }
}

void PadFaultMatrixTest::modbus()
{
    QFETCH(QString, fault);
    QFETCH(QString, padFault);
    QFETCH(int, record);
    QFETCH(QString, action);
    QFETCH(int, code);
    QFETCH(int, boundMs);
    FaultMatrix::Cell cell(&m_modbus, fault, record ? QStringLiteral("record %1").arg(record) : QStringLiteral("-"));
    QTemporaryDir dir;
    QString imagePath;
    QDateTime modified;
    QVERIFY(prepare(&dir, &imagePath, &modified));

    // The converter model between its host side (the backend's port) and
    // the line, where the two pads listen: 0x50 chosen, 0x51 beside it.
    const QString hostSide = dir.filePath(QStringLiteral("host"));
    const QString lineSide = dir.filePath(QStringLiteral("line"));
    QProcess converter;
    converter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    converter.start(QStringLiteral(CONVERTER_MODEL), { "--host", hostSide, "--line", lineSide, "--latency-ms", "16" });
    QVERIFY(converter.waitForReadyRead(5000));
    QCOMPARE(converter.readLine().trimmed(), QByteArray("ready"));
    const QString received = dir.filePath(QStringLiteral("received.bin"));
    const QString otherLog = dir.filePath(QStringLiteral("other.log"));
    QProcess pad;
    pad.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    pad.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral(FAULTY_PAD), lineSide, "80", "81", received, otherLog,
                                                    padFault, QString::number(record) });
    QVERIFY(pad.waitForReadyRead(10000));
    QCOMPARE(pad.readLine().trimmed(), QByteArray("ready"));
    {
        QSettings settings(dir.filePath(QStringLiteral("Ordane/Tamsel.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("adapter/backend"), QStringLiteral("rs485"));
        settings.setValue(QStringLiteral("adapter/port"), hostSide);
    }
    qputenv("TAMSEL_ADAPTER", "rs485");

    const QByteArray mark = "record " + QByteArray::number(record) + '\n';
    QByteArray padSaid;
    const CliRun result = CliRun::run(QStringLiteral(TAMSEL_CLI), { "update", "--road", "modbus", "--address", "50", imagePath },
                                      [&](QProcess &process) {
                                          if (action.isEmpty())
                                              return;
                                          QTRY_VERIFY_WITH_TIMEOUT((padSaid += pad.readAll()).contains(mark)
                                                                       || process.state() == QProcess::NotRunning,
                                                                   20000);
                                          if (action == QLatin1String("overwrite-image")) {
                                              QFile file(imagePath);
                                              QVERIFY(file.open(QIODevice::ReadWrite));
                                              QCOMPARE(file.write(overwrittenImage()), qint64(records * 32));
                                          } else if (action == QLatin1String("kill-converter"))
                                              converter.kill();
                                          else
                                              CliRun::signal(process, action == QLatin1String("sigint") ? SIGINT : SIGTERM);
                                      });
    cell.setOutcome(QStringLiteral("exit %1: %2").arg(result.code).arg(CliRun::lastLine(result.code ? result.err : result.out)));
    checkCommon(result, code, boundMs, imagePath, modified, action == QLatin1String("overwrite-image"));
    if (QTest::currentTestFailed())
        return;
    // Done only with the whole image on the pad (a pad that took the last
    // record but whose answer was lost holds it, though the run failed).
    if (result.code == 0)
        QCOMPARE(readFile(received), imageBytes());
    // Nothing was addressed to the other pad.
    QCOMPARE(readFile(otherLog), QByteArray());
    for (QProcess *process : { &pad, &converter }) {
        process->kill();
        process->waitForFinished();
    }
}

void PadFaultMatrixTest::infrared_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("option");        // the simulated adapter's setting
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("signal");            // sent at 45 % of the image
    QTest::addColumn<int>("code");

    const int frames = records * 32 / 48 * 3;
    QTest::newRow("no fault") << "none" << "-" << "" << 0 << 0 << 0;
    QTest::newRow("configuration refused") << "adapter refuses" << "configuration" << "refuse_config" << 1 << 0 << 6;
    for (const int frame : { 1, frames / 2, frames })
        QTest::newRow(qPrintable(QStringLiteral("transmission fails at frame %1").arg(frame)))
            << "transmission fails" << QStringLiteral("frame %1").arg(frame) << "transmit_error_at" << frame << 0 << 1;
    QTest::newRow("Ctrl+C mid-image") << "Ctrl+C" << "middle" << "delay_ms" << 20 << SIGINT << 130;
    QTest::newRow("SIGTERM mid-image") << "SIGTERM" << "middle" << "delay_ms" << 20 << SIGTERM << 143;
}

void PadFaultMatrixTest::infrared()
{
    QFETCH(QString, fault);
    QFETCH(QString, step);
    QFETCH(QString, option);
    QFETCH(int, value);
    QFETCH(int, signal);
    QFETCH(int, code);
    FaultMatrix::Cell cell(&m_infrared, fault, step);
    QTemporaryDir dir;
    QString imagePath;
    QDateTime modified;
    QVERIFY(prepare(&dir, &imagePath, &modified));
    const QString received = dir.filePath(QStringLiteral("received.bin"));
    {
        QSettings settings(dir.filePath(QStringLiteral("Ordane/Tamsel.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("adapter/image"), received);
        if (!option.isEmpty())
            settings.setValue(QStringLiteral("adapter/") + option, value);
    }
    qputenv("TAMSEL_ADAPTER", "simulated");

    QByteArray said;
    const CliRun result = CliRun::run(QStringLiteral(TAMSEL_CLI), { "update", "--road", "ir", imagePath },
                                      [&](QProcess &process) {
                                          if (!signal)
                                              return;
                                          QTRY_VERIFY_WITH_TIMEOUT((said += process.readAllStandardOutput()).contains("progress 45%")
                                                                       || process.state() == QProcess::NotRunning,
                                                                   20000);
                                          CliRun::signal(process, signal);
                                      });
    cell.setOutcome(QStringLiteral("exit %1: %2").arg(result.code).arg(CliRun::lastLine(result.code ? result.err : said + result.out)));
    checkCommon(result, code, 8000, imagePath, modified);
    QVERIFY(result.code == code);
    // Whole 48-byte blocks: done only with the whole image on the pad.
    if (result.code == 0)
        QCOMPARE(readFile(received), imageBytes());
    // A failed transmission k (each frame goes out three times): the pad
    // took every frame whose first copy went out before it, and no more.
    if (option == QLatin1String("transmit_error_at"))
        QCOMPARE(readFile(received), imageBytes().left(48 * ((value + 1) / 3)));
}

QTEST_MAIN(PadFaultMatrixTest)
#include "tst_faultmatrix_pad.moc"
