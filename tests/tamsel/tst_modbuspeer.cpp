// The Modbus road against a Modbus implementation nobody on this project
// wrote: Debian's pymodbus RTU slave on the line side of a USB-to-RS-485
// converter model (bytes at the baud rate, handed to the host in USB
// packets per latency tick, the converter's own echo if it has one), our
// RS-485 backend on the host side, the update run in between. Also a line
// with no pad at all, and one with a device that answers wrongly.
#include "mainwindow.h"
#include "mainwindowprobe.h"
#include "tamselwidgets.h"
#include "padtransfer.h"

#include "modaldriver.h"
#include "privatesettings.h"
#include "testimage.h"

#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <memory>

class ModbusPeerTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void update_data();
    void update();

private:
    std::unique_ptr<PrivateSettings> m_settings;
    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_converter;
    QProcess m_peer;
};

void ModbusPeerTest::init()
{
    m_settings.reset(new PrivateSettings);
    m_dir.reset(new QTemporaryDir);
    qunsetenv("TAMSEL_ADAPTER");
}

void ModbusPeerTest::cleanup()
{
    for (QProcess *process : { &m_peer, &m_converter }) {
        process->terminate();
        if (!process->waitForFinished(3000))
            process->kill();
        process->waitForFinished(3000);
    }
    m_dir.reset();
    m_settings.reset();
}

void ModbusPeerTest::update_data()
{
    QTest::addColumn<int>("latency");                // the converter's latency timer, ms
    QTest::addColumn<bool>("echo");                  // the converter hears itself
    QTest::addColumn<QString>("peer");               // pymodbus, none, other-address, other-function
    QTest::addColumn<QStringList>("peerOptions");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("verified");               // what reading the records back gives, after a success
    QTest::newRow("16 ms latency") << 16 << false << "pymodbus" << QStringList() << 0 << "" << 0;
    QTest::newRow("1 ms latency") << 1 << false << "pymodbus" << QStringList() << 0 << "" << 0;
    QTest::newRow("16 ms, converter echoes") << 16 << true << "pymodbus" << QStringList() << 0 << "" << 0;
    QTest::newRow("1 ms, converter echoes") << 1 << true << "pymodbus" << QStringList() << 0 << "" << 0;
    QTest::newRow("a byte reads back changed") << 16 << true << "pymodbus" << QStringList{ "--corrupt-read-at", "700" }
                                               << 0 << "" << int(PadTransfer::imageDiffers);
    QTest::newRow("exception 2 at the third record")
        << 16 << true << "pymodbus" << QStringList{ "--exception-at", "3", "--exception-code", "2" } << 40
        << "Modbus Exception: Illegal Data Address" << 0;
    QTest::newRow("silence at the third record") << 16 << false << "pymodbus" << QStringList{ "--silent-at", "3" }
                                                 << 138 << "Modbus Timeout" << 0;
    // Its own echo is never the answer of a pad that is not there.
    QTest::newRow("no pad, converter echoes") << 16 << true << "none" << QStringList() << 138 << "Modbus Timeout" << 0;
    QTest::newRow("no pad") << 1 << false << "none" << QStringList() << 138 << "Modbus Timeout" << 0;
    QTest::newRow("another address answers")
        << 16 << false << "other-address" << QStringList() << 71
        << "Modbus reply from slave 0x51 with function 0x15 does not answer the request to slave 0x50" << 0;
    QTest::newRow("another function answers")
        << 16 << true << "other-function" << QStringList() << 71
        << "Modbus reply from slave 0x50 with function 0x10 does not answer the request to slave 0x50" << 0;
}

void ModbusPeerTest::update()
{
    QFETCH(int, latency);
    QFETCH(bool, echo);
    QFETCH(QString, peer);
    QFETCH(QStringList, peerOptions);
    QFETCH(int, result);
    QFETCH(QString, message);
    QFETCH(int, verified);
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"), { "-c", "import pymodbus, serial_asyncio" }) != 0)
        QSKIP("needs Debian's python3-pymodbus and python3-serial-asyncio (scripts/deps.sh installs them)");

    const QString lineSide = m_dir->filePath(QStringLiteral("line"));
    const QString hostSide = m_dir->filePath(QStringLiteral("host"));
    QStringList converterOptions{ "--host", hostSide, "--line", lineSide, "--latency-ms", QString::number(latency) };
    if (echo)
        converterOptions << QStringLiteral("--echo");
    m_converter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_converter.start(QStringLiteral(CONVERTER_MODEL), converterOptions);
    QVERIFY(m_converter.waitForReadyRead(5000));
    QCOMPARE(m_converter.readLine().trimmed(), QByteArray("ready"));

    const QString received = m_dir->filePath(QStringLiteral("received.bin"));
    if (peer != QLatin1String("none")) {
        m_peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (peer == QLatin1String("pymodbus"))
            m_peer.start(QStringLiteral("/usr/bin/python3"),
                         QStringList{ QStringLiteral(MODBUS_PEER), lineSide, "80", received } + peerOptions);
        else
            m_peer.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral(HOSTILE_PAD), lineSide, peer });
        // Bytes written before the peer has opened its side would be lost.
        QVERIFY(m_peer.waitForReadyRead(10000));
        QCOMPARE(m_peer.readLine().trimmed(), QByteArray("ready"));
    }

    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"),
                           QStringLiteral("Tamsel"));
        settings.setValue(QStringLiteral("adapter/backend"), QStringLiteral("rs485"));
        settings.setValue(QStringLiteral("adapter/port"), hostSide);
        settings.setValue(QStringLiteral("settings/connection_type"), 1);
    }
    QByteArray image(1001, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 31 + 17);
    const QString path = TestImage::store(m_dir->path(), QStringLiteral("PAD.INC"), image);
    QVERIFY(!path.isEmpty());

    QStringList boxes;
    ModalDriver driver([&boxes](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            boxes << box->informativeText();
            box->done(QMessageBox::Close);
        }
    });
    MainWindow window;
    QVERIFY(probe(&window).adapterHandle().load());
    probe(&window).imageFileName() = path;
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(window.modbusUpdateRun(), result);
    // 32 records of about 8 ms on the line each, plus the latency ticks;
    // a timeout is one reply wait. Bound for a hang only: a loaded machine
    // may take a few times as long.
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
    QTRY_COMPARE(boxes, message.isEmpty() ? QStringList() : QStringList{ message });
    if (peer != QLatin1String("pymodbus"))
        return;
    QFile got(received);
    QVERIFY(got.open(QIODevice::ReadOnly));
    const QByteArray bytes = got.readAll();
    if (result == 0) {
        // Intact, the odd last record evened out with one zero; read back
        // record by record, through the same line.
        QCOMPARE(bytes, image + '\0');
        PadTransfer transfer(probe(&window).emitter(), probe(&window).adapterHandle(), probe(&window).stopRequested());
        QCOMPARE(transfer.modbusVerify(transfer.readImage(path), 80), verified);
        QTRY_COMPARE(boxes.size(), verified ? 1 : 0);
        QVERIFY(!verified || boxes.first().contains(QLatin1String("the byte at offset 700 (of 1001)")));
        // Read whole, until the slave says its file has no such record: the
        // last record comes whole, as the slave pads it.
        QByteArray firmware;
        QCOMPARE(transfer.modbusRead(80, &firmware), 0);
        if (!verified)
            QCOMPARE(firmware, image + QByteArray(1024 - image.size(), '\0'));
    } else {
        // The first two records arrived; nothing after the failing one.
        QCOMPARE(bytes, image.left(64));
    }
}

QTEST_MAIN(ModbusPeerTest)
#include "tst_modbuspeer.moc"
