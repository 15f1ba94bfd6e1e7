// The Modbus road against a Modbus implementation nobody on this project
// wrote: Debian's pymodbus RTU slave on one side of a pseudo-terminal pair
// (socat), our RS-485 backend on the other, the update run in between.
#include "mainwindow.h"

#include "modaldriver.h"
#include "privatesettings.h"

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
    QProcess m_socat;
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
    for (QProcess *process : { &m_peer, &m_socat }) {
        process->kill();
        process->waitForFinished(3000);
    }
    m_dir.reset();
    m_settings.reset();
}

void ModbusPeerTest::update_data()
{
    QTest::addColumn<QStringList>("peerOptions");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::newRow("whole image") << QStringList() << 0 << "";
    QTest::newRow("exception 2 at the third record") << QStringList{ "--exception-at", "3", "--exception-code", "2" }
                                                    << 40 << "Modbus Exception: Illegal Data Address";
    QTest::newRow("silence at the third record") << QStringList{ "--silent-at", "3" } << 138 << "Modbus Timeout";
}

void ModbusPeerTest::update()
{
    QFETCH(QStringList, peerOptions);
    QFETCH(int, result);
    QFETCH(QString, message);
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty()
        || QProcess::execute(QStringLiteral("/usr/bin/python3"), { "-c", "import pymodbus, serial_asyncio" }) != 0)
        QSKIP("needs socat and Debian's python3-pymodbus and python3-serial-asyncio (scripts/deps.sh installs them)");

    const QString peerSide = m_dir->filePath(QStringLiteral("peer"));
    const QString ourSide = m_dir->filePath(QStringLiteral("ours"));
    m_socat.start(QStringLiteral("socat"), { "pty,raw,echo=0,link=" + peerSide, "pty,raw,echo=0,link=" + ourSide });
    QTRY_VERIFY(QFile::exists(peerSide) && QFile::exists(ourSide));
    const QString received = m_dir->filePath(QStringLiteral("received.bin"));
    m_peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_peer.start(QStringLiteral("/usr/bin/python3"),
                 QStringList{ QStringLiteral(MODBUS_PEER), peerSide, "80", received } + peerOptions);
    // Bytes written before the peer has opened its side would be lost.
    QVERIFY(m_peer.waitForReadyRead(10000));
    QCOMPARE(m_peer.readLine().trimmed(), QByteArray("ready"));

    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"),
                           QStringLiteral("Tamsel"));
        settings.setValue(QStringLiteral("adapter/backend"), QStringLiteral("rs485"));
        settings.setValue(QStringLiteral("adapter/port"), ourSide);
        settings.setValue(QStringLiteral("settings/connection_type"), 1);
    }
    QByteArray image(1001, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 31 + 17);
    const QString path = m_dir->filePath(QStringLiteral("PAD.INC"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();

    QStringList boxes;
    ModalDriver driver([&boxes](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            boxes << box->informativeText();
            box->done(QMessageBox::Close);
        }
    });
    MainWindow window;
    QVERIFY(window.adapterHandle.load());
    window.imageFileName = path;
    QCOMPARE(window.modbusUpdateRun(), result);
    QCOMPARE(boxes, message.isEmpty() ? QStringList() : QStringList{ message });
    QFile got(received);
    QVERIFY(got.open(QIODevice::ReadOnly));
    const QByteArray bytes = got.readAll();
    if (result == 0) {
        // Intact, the odd last record evened out with one zero.
        QCOMPARE(bytes, image + '\0');
    } else {
        // The first two records arrived; nothing after the failing one.
        QCOMPARE(bytes, image.left(64));
    }
}

QTEST_MAIN(ModbusPeerTest)
#include "tst_modbuspeer.moc"
