// The TCP conversation of a network task, the identification of a device
// and the remote commands, over real TCP on loopback: against the simulated
// device, and against a scripted peer for answers no device should give.
#include "network/command.h"
#include "network/networkcheck.h"
#include "network/networkdevice.h"
#include "network/scannertask.h"
#include "network/sendcommandtask.h"

#include "reportreceiver.h"
#include "scriptedpeer.h"
#include "simulateddevice.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// A task whose insides a test may look at.
class ProbeTask : public Task
{
public:
    explicit ProbeTask(quint16 port)
    {
        host = QStringLiteral("127.0.0.1");
        this->port = port;
    }
    void run() override {}
    void stop() override {}
    using Task::reply;
    using Task::socket;
    using Task::timer;
};

class ScannerProbe : public ScannerTask
{
public:
    using ScannerTask::ScannerTask;
    using Task::reply;
};

// A loopback port nobody listens on.
quint16 refusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class NetworkTaskTest : public QObject
{
    Q_OBJECT
private slots:
    void framing_data();
    void framing();
    void reconnectGivesAFreshSocket();
    void writeWithoutConnectionEndsByTimer();
    void parseIdentity_data();
    void parseIdentity();
    void identify_data();
    void identify();
    void unreachableAndSilentDevices();
    void commands_data();
    void commands();
    void reboot_data();
    void reboot();
};

// How an answer's end is found, and that every wait ends: at its status
// word, else by the deadline set at the request, whatever the device
// dribbles or floods meanwhile (of which no more than a few KiB are kept).
void NetworkTaskTest::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");   // 100 ms apart
    QTest::addColumn<QByteArray>("reply");           // null: some of what came, within bounds
    QTest::addColumn<int>("errors");
    QTest::addColumn<int>("minimumMs");
    QTest::newRow("split inside the status word") << QList<QByteArray>{ "O", "K\r\n" } << QByteArray("OK\r\n") << 0
                                                  << 100;
    QTest::newRow("OK and ERROR is an error") << QList<QByteArray>{ "OK ERROR\r\n" } << QByteArray("OK ERROR\r\n") << 1
                                              << 0;
    // A status word has no letter directly before or after it; digits and
    // '_' may stand there.
    QTest::newRow("inside a longer word, then beside digits")
        << QList<QByteArray>{ "xUnknownx NOK\r\n", "ERROR_42\r\n" } << QByteArray("xUnknownx NOK\r\nERROR_42\r\n")
        << 1 << 100;
    QTest::newRow("lower case does not end the wait") << QList<QByteArray>{ "ok\r\n", "OK\r\n" }
                                                      << QByteArray("ok\r\nOK\r\n") << 0 << 100;
    // No status word ever: the wait ends the reply time after the request
    // (coarse timers may fire up to 5 % early).
    QTest::newRow("partial answer, then silence") << QList<QByteArray>{ "S/N", ": 05" } << QByteArray("S/N: 05") << 0
                                                  << 4700;
    QTest::newRow("a byte every 100 ms, past the reply time") << QVector<QByteArray>(70, "x").toList() << QByteArray() << 0 << 4700;
    QTest::newRow("a megabyte without a line end") << QList<QByteArray>{ QByteArray(1 << 20, 'x') } << QByteArray() << 1
                                                   << 0;
}

void NetworkTaskTest::framing()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, reply);
    QFETCH(int, errors);
    QFETCH(int, minimumMs);
    ScriptedPeer peer([&pieces](ScriptedPeer &p, const QByteArray &received) {
        if (received == "cmd\r\n") {
            for (int i = 0; i < pieces.size(); ++i)
                p.say(pieces[i], i * 100);
        }
    });
    ProbeTask task(peer.port());
    QSignalSpy errorSpy(&task, &Task::errorResponse);
    QVERIFY(task.doConnect());

    QElapsedTimer elapsed;
    elapsed.start();
    task.timer->start(Task::replyTimeout);
    task.sendCommand(QStringLiteral("cmd\r\n"));
    if (reply.isNull())
        QVERIFY(task.reply.size() <= Task::maxAnswer);
    else
        QCOMPARE(task.reply, reply);
    QCOMPARE(errorSpy.count(), errors);
    QVERIFY2(elapsed.elapsed() >= minimumMs && elapsed.elapsed() < qMax(minimumMs + 1500, 3000),
             qPrintable(QString::number(elapsed.elapsed())));
}

void NetworkTaskTest::reconnectGivesAFreshSocket()
{
    ScriptedPeer peer([](ScriptedPeer &, const QByteArray &) {});
    ProbeTask task(peer.port());
    // Every connection sends each write at once (no waiting for the peer's
    // acknowledgement of the one before), as the kernel says of it.
    const auto noDelay = [&task] {
        int on = 0;
        socklen_t size = sizeof on;
        return ::getsockopt(int(task.socket->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on;
    };
    QVERIFY(task.doConnect());
    QVERIFY(noDelay());
    QTcpSocket *first = task.socket;
    task.disconnectSocket();
    QVERIFY(task.doConnect());
    QVERIFY(task.socket != first);
    QVERIFY(noDelay());

    QSignalSpy ends(&task, &Task::idleFinished);
    QMetaObject::invokeMethod(first, "connected");
    QCOMPARE(ends.count(), 0);
    QMetaObject::invokeMethod(task.socket, "connected");
    QCOMPARE(ends.count(), 1);
}

void NetworkTaskTest::writeWithoutConnectionEndsByTimer()
{
    ProbeTask never(refusedPort());
    QVERIFY(!never.writeData("x", 1));
    // Never wired: the wait does not even start.
    never.sendCommand(QStringLiteral("set\r\n"));

    ProbeTask task(refusedPort());
    QVERIFY(!task.doConnect());
    QVERIFY(!task.writeData("set\r\n", 5));
    QElapsedTimer elapsed;
    elapsed.start();
    task.timer->start(Task::replyTimeout);
    task.sendCommand(QStringLiteral("set\r\n"));
    QVERIFY2(elapsed.elapsed() >= 4700 && elapsed.elapsed() < 6500, qPrintable(QString::number(elapsed.elapsed())));
}

void NetworkTaskTest::parseIdentity_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("version");
    QTest::newRow("both") << QByteArray("S/N: 0500A1B2\r\nversion: 3.2\r\nOK\r\n") << 0 << "0500A1B2" << "3.2";
    QTest::newRow("trimmed, no version") << QByteArray("S/N:   03D0001 \t\r\nOK") << 0 << "03D0001" << "";
    QTest::newRow("keys are case-sensitive") << QByteArray("s/n: 1\r\nVersion: 3.2\r\nOK") << 6 << "" << "";
    static const char withNul[] = "S/N: 1\r\n\0version: 9.9\r\nOK";
    QTest::newRow("after NUL ignored") << QByteArray(withNul, sizeof withNul - 1) << 0 << "1" << "";
    QTest::newRow("inside a longer word") << QByteArray("subversion: 2.0\r\nOK") << 0 << "" << "2.0";
    QTest::newRow("no line end") << QByteArray("S/N: 0500A1B2") << 0 << "0500A1B2" << "";
    QTest::newRow("nothing") << QByteArray() << 6 << "" << "";
}

void NetworkTaskTest::parseIdentity()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, code);
    QFETCH(QString, serial);
    QFETCH(QString, version);
    NetworkDevice device(QStringLiteral("127.0.0.1"), 1);
    ScannerProbe scanner(nullptr, &device);
    scanner.reply = reply;
    QCOMPARE(scanner.parseIdentity(), code);
    QCOMPARE(scanner.serialNumber, serial);
    QCOMPARE(scanner.firmwareVersion, version);
}

void NetworkTaskTest::identify_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QByteArray>("bootloader");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<int>("settingsBytes");         // answered to "set" before the S/N
    const auto row = [](const char *name, const char *serial, const char *firmware, const char *bootloader, int code,
                        const char *lineEnd = "\r\n", const char *greeting = "OK\r\n", int settingsBytes = 0) {
        QTest::newRow(name) << QByteArray(serial) << QByteArray(firmware) << QByteArray(bootloader) << code
                            << QByteArray(lineEnd) << QByteArray(greeting) << settingsBytes;
    };
    row("05 with 3.2, boot 1.1", "0500A1B2", "3.2", "1.1", 0);
    row("05 with 3.1", "0500A1B2", "3.1", "1.1", 3);
    row("05 without version", "0500A1B2", "", "1.1", 3);
    row("other without version", "03D0001", "", "1.1", 4);
    row("other with 1.2", "03D0001", "1.2", "1.1", 4);
    row("other with 1.3", "03D0001", "1.3", "1.1", 0);
    row("boot 1.0", "03D0001", "1.3", "1.0", 5);
    row("boot 2.*", "03D0001", "1.3", "2.*", 0);
    row("boot 1.10", "03D0001", "1.3", "1.10", 0);
    // What follows a version's numbers is ignored.
    row("05 with 3.2-beta", "0500A1B2", "3.2-beta", "1.1", 0);
    row("05 with 3.1-rc9", "0500A1B2", "3.1-rc9", "1.1", 3);
    // Lines ended in LF or CR alone, and a greeting that says OK at once.
    row("lines end in LF", "0500A1B2", "3.2", "1.1", 0, "\n");
    row("lines end in CR", "0500A1B2", "3.2", "1.1", 0, "\r");
    row("greets \"Device ready, OK\" at once", "0500A1B2", "3.2", "1.1", 0, "\r\n", "Device ready, OK\r\n");
    // Its settings come with its identity: read up to 64 KiB, and past that
    // the device is said to answer more than is read.
    row("20 KiB of settings", "0500A1B2", "3.2", "1.1", 0, "\r\n", "OK\r\n", 20 * 1024);
    row("70 KiB of settings", "", "", "1.1", ScannerTask::AnswerTooLong, "\r\n", "OK\r\n", 70 * 1024);
}

void NetworkTaskTest::identify()
{
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, firmware);
    QFETCH(QByteArray, bootloader);
    QFETCH(int, code);
    QFETCH(QByteArray, lineEnd);
    QFETCH(QByteArray, greeting);
    QFETCH(int, settingsBytes);
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.settingsBytes = settingsBytes;
    options.lineEnd = lineEnd;
    options.greeting = greeting;
    options.serialNumber = serial;
    options.firmwareVersion = firmware;
    options.bootloaderVersion = bootloader;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());

    // The whole check, reported to the owner by a queued call once run()
    // has returned.
    NetworkDevice device(QStringLiteral("127.0.0.1"), simulated.port());
    ReportReceiver owner;
    ScannerTask scanner(&owner, &device);
    scanner.run();
    QCOMPARE(owner.reports, 0);
    QTRY_COMPARE(owner.reports, 1);
    QCOMPARE(owner.code, code);
    QCOMPARE(owner.serial, QString::fromLatin1(serial));
    QCOMPARE(scanner.serialNumber, QString::fromLatin1(serial));
    QCOMPARE(scanner.firmwareVersion, QString::fromLatin1(firmware));
    if (code == ScannerTask::AnswerTooLong)
        QVERIFY(NetworkCheck::problemText(code, QStringLiteral("here")).contains(QLatin1String("more than 65536 bytes")));
    const QStringList expected = code == 3 || code == 4 || code == ScannerTask::AnswerTooLong
        ? QStringList{ "connect 1", "1@0 command set" }
        : QStringList{ "connect 1", "1@0 command set", "1@5 command boot v" };
    QTRY_COMPARE(simulated.journal().mid(0, expected.size()), expected);
    QTRY_VERIFY(simulated.journal().last().startsWith(QLatin1String("close ")));
}

void NetworkTaskTest::unreachableAndSilentDevices()
{
    NetworkDevice unreachable(QStringLiteral("127.0.0.1"), refusedPort());
    ScannerTask refused(nullptr, &unreachable);
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(refused.identify(), 2);
    QVERIFY(elapsed.elapsed() < 5500);

    ScriptedPeer silent([](ScriptedPeer &, const QByteArray &) {});
    NetworkDevice quiet(QStringLiteral("127.0.0.1"), silent.port());
    ScannerTask scanner(nullptr, &quiet);
    elapsed.restart();
    QCOMPARE(scanner.identify(), 6);
    // The reply time for a greeting that never comes, then for the answer
    // (each a coarse timer, which may end 5 % early).
    QVERIFY2(elapsed.elapsed() >= 9400 && elapsed.elapsed() < 11500, qPrintable(QString::number(elapsed.elapsed())));
}

void NetworkTaskTest::commands_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("reboot") << 0 << QByteArray("boot\r\n");
    QTest::newRow("settings") << 1 << QByteArray("set\r\n");
    QTest::newRow("ifconfig") << 2 << QByteArray("ifconfig\r\n");
    QTest::newRow("lines") << 3 << QByteArray("lines\r\n");
    QTest::newRow("secondary reboot") << 4 << QByteArray("boot 2\r\n");
}

void NetworkTaskTest::commands()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, sent);
    QByteArray seen;
    ScriptedPeer peer([&seen](ScriptedPeer &p, const QByteArray &received) {
        seen = received;
        if (received.endsWith('\n'))
            p.say("O", 0), p.say("K\r\n", 50);
    });
    peer.onConnect = [](ScriptedPeer &p) { p.say("Ready\r\n"); };
    NetworkDevice device(QStringLiteral("127.0.0.1"), peer.port());
    Command command(this, &device);
    switch (operation) {
    case 0: command.reboot(); break;
    case 1: command.requestSettings(); break;
    case 2: command.requestIfconfig(); break;
    case 3: command.requestLines(); break;
    default: command.rebootSecondary(); break;
    }
    QCOMPARE(seen, sent);
    QCOMPARE(command.lastReply(), QByteArray("OK\r\n"));
}

void NetworkTaskTest::reboot_data()
{
    QTest::addColumn<QByteArray>("answer");          // to "boot"; "<close>", "<reset>", "" silence
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("maxMs");
    // A late greeting that holds "OK", and then a refusal: the refusal is
    // the answer, and the reboot is not confirmed.
    QTest::newRow("ERROR after a late OK greeting") << QByteArray("ERROR\r\n") << false << 2000;
    // A device that restarts may close or reset the connection without a
    // word, or say nothing until the reply time is over: it took the reboot.
    QTest::newRow("closes at once") << QByteArray("<close>") << true << 2000;
    QTest::newRow("resets at once") << QByteArray("<reset>") << true << 2000;
    QTest::newRow("silent") << QByteArray() << true << 6500;
    QTest::newRow("answers NOK") << QByteArray("NOK\r\n") << true << 6500;
    // Nothing reached it: it was not told to restart.
    QTest::newRow("unreachable") << QByteArray("<unreachable>") << false << 5500;
}

void NetworkTaskTest::reboot()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, accepted);
    QFETCH(int, maxMs);
    ScriptedPeer peer([&answer](ScriptedPeer &p, const QByteArray &received) {
        if (!received.endsWith("boot\r\n"))
            return;
        if (answer == "<close>")
            p.hangUp();
        else if (answer == "<reset>")
            p.reset();
        else if (!answer.isEmpty())
            p.say(answer, 400);
    });
    peer.onConnect = [](ScriptedPeer &p) { p.say("O", 300), p.say("K\r\n", 350); };
    NetworkDevice device(QStringLiteral("127.0.0.1"), answer == "<unreachable>" ? refusedPort() : peer.port());
    Command command(this, &device);
    QElapsedTimer took;
    took.start();
    command.reboot();
    QCOMPARE(command.rebootAccepted(), accepted);
    QVERIFY2(took.elapsed() < maxMs, qPrintable(QString::number(took.elapsed())));
    if (!answer.startsWith('<'))
        QCOMPARE(command.lastReply(), answer);
    else if (answer == "<unreachable>")
        QVERIFY(command.lastReply().isEmpty());
}

QTEST_GUILESS_MAIN(NetworkTaskTest)
#include "tst_networktask.moc"
