// The network firmware upload over real TCP on loopback, checked on the wire
// by the simulated device's journal: records, blocks, header, check, and the
// outcome of each fault the device can show.
#include "testimage.h"
#include "network/networkdevice.h"
#include "network/uploadtask.h"

#include "crc16modbus.h"
#include "scriptedpeer.h"
#include "simulateddevice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// What the device's journal says about one upload.
struct Wire
{
    QStringList addresses;                  // as sent
    QList<int> sizes;                       // data bytes per record
    QList<qint64> blocks;                   // per command: bytes to the next on its connection
    QStringList commands;                   // "start I0", "record", "header ...", "check ..."
    int connections = 0;
    QString header;                         // "size=... crc=... flag=..."
};

Wire readJournal(const QStringList &journal)
{
    static const QRegularExpression line(QStringLiteral("^(\\d+)@(\\d+) (.*)$"));
    Wire wire;
    // Per connection: the offset of its last command, -1 before the first.
    QHash<int, qint64> last;
    QHash<int, int> lastIndex;
    for (const QString &entry : journal) {
        const QStringList words = entry.split(QLatin1Char(' '));
        if (words.at(0) == QLatin1String("connect")) {
            ++wire.connections;
            continue;
        }
        int connection = 0;
        qint64 offset = -1;
        QString command;
        if (words.at(0) == QLatin1String("close")) {
            connection = words.value(1).toInt();
            offset = words.value(2).toLongLong();
        } else {
            const auto match = line.match(entry);
            if (!match.hasMatch())
                continue;
            connection = match.captured(1).toInt();
            offset = match.captured(2).toLongLong();
            command = match.captured(3);
        }
        // The block of a command runs to the next command on its connection.
        if (last.contains(connection))
            wire.blocks[lastIndex.value(connection)] = offset - last.value(connection);
        if (command.isEmpty())
            continue;
        last.insert(connection, offset);
        lastIndex.insert(connection, wire.commands.size());
        wire.blocks << -1;
        if (command.startsWith(QLatin1String("record "))) {
            const QStringList parts = command.split(QLatin1Char(' '));
            wire.addresses << parts.at(1) + parts.at(2);
            wire.sizes << parts.at(3).toInt();
            wire.commands << QStringLiteral("record");
        } else {
            if (command.startsWith(QLatin1String("header ")))
                wire.header = command.mid(7);
            wire.commands << command.section(QLatin1Char(' '), 0, 1);
        }
    }
    return wire;
}

} // namespace

class UploadTaskTest : public QObject
{
    Q_OBJECT
private slots:
    void upload_data();
    void upload();
    void stops_data();
    void stops();
    void twoAcknowledgementsInOneRead();
    void recordLines_data();
    void recordLines();
    void unreadableImage();

private:
    // `size` bytes of test image at `name` in the test folder; empty on failure.
    QString writeImage(const QString &name, int size);

    QTemporaryDir m_dir;
};

QString UploadTaskTest::writeImage(const QString &name, int size)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    const QByteArray image = TestImage::bytes(size);
    if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly) || file.write(image) != size)
        return QString();
    return path;
}

void UploadTaskTest::upload_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("fault");             // simulator option
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("header");            // empty: none sent

    const auto header = [](int size, bool boot) {
        const QByteArray image = TestImage::bytes(size);
        return QStringLiteral("size=%1 crc=%2 flag=%3")
            .arg(size)
            .arg(Crc16Modbus::compute(image), 4, 16, QLatin1Char('0'))
            .arg(boot ? 0 : 1);
    };
    QTest::newRow("100 bytes, I mode") << "PR.INC" << 100 << "" << 0 << header(100, false);
    QTest::newRow("INB, W mode") << "PR.INB" << 100 << "" << 11 << "";
    // The file name decides, never a folder.
    QTest::newRow("BOOT in the name wins over INB") << "PR_BOOT.INB" << 100 << "" << 0 << header(100, true);
    QTest::newRow("INB only in a folder: I mode") << "INBOX/PR_1.IN2" << 100 << "" << 0 << header(100, false);
    QTest::newRow("BOOT only in a folder: kind flag 1") << "BOOT/PR_1.IN2" << 100 << "" << 0 << header(100, false);
    QTest::newRow("empty image") << "PR.INC" << 0 << "" << 0 << "size=0 crc=ffff flag=1";
    QTest::newRow("ERROR at record 5") << "PR.INC" << 1000 << "error" << 8 << "";
    // A closed connection is a lost link (10), not a refusal of the image.
    QTest::newRow("connection closed at record 5") << "PR.INC" << 1000 << "close" << 10 << "";
    // Every record must be acknowledged, the last ones too, in both modes;
    // "ERROR" to the last one leaves the header unsent.
    QTest::newRow("last record unacknowledged, I mode") << "PR.INC" << 1000 << "silent last" << 9 << "";
    QTest::newRow("last record unacknowledged, W mode") << "PR.INB" << 1000 << "silent last" << 9 << "";
    // A greeting is no acknowledgement, whatever it says.
    QTest::newRow("greeting with OK, last record unacknowledged") << "PR.INB" << 1000 << "greeting silent last" << 9
                                                                 << "";
    QTest::newRow("ERROR at the last record") << "PR.INC" << 1000 << "error last" << 8 << "";
    // A greeting that comes late and holds "OK" is no answer to the check.
    QTest::newRow("late greeting with OK, check fails") << "PR.INC" << 1000 << "late greeting" << 8
                                                       << header(1000, false);
    // However late the greeting, and in however many pieces, the check's
    // answer is what comes after the question.
    QTest::newRow("greeting at 1 s, check fails") << "PR.INC" << 100 << "late greeting 1000" << 8
                                                  << header(100, false);
    QTest::newRow("greeting at 2 s in two pieces, check fails") << "PR.INC" << 100 << "late greeting 2000 split" << 8
                                                                << header(100, false);
    QTest::newRow("no greeting on the check's connection") << "PR.INC" << 100 << "no greeting" << 9
                                                           << header(100, false);
    // One answer per record: surplus "OK"s stand for no record.
    QTest::newRow("two OKs per record, then silence") << "PR.INC" << 1000 << "double" << 8 << "";
    QTest::newRow("silent from record 5") << "PR.INC" << 1000 << "silent" << 9 << "";
    QTest::newRow("device finds the CRC wrong") << "PR.INC" << 1000 << "crc" << 8 << header(1000, false);
    QTest::newRow("greeting on connect") << "PR.INC" << 1000 << "greeting" << 0 << header(1000, false);
    QTest::newRow("answers split in two") << "PR.INC" << 1000 << "split" << 0 << header(1000, false);
    QTest::newRow("ERROR split in two") << "PR.INC" << 1000 << "split error" << 8 << "";
    QTest::newRow("slow device") << "PR.INC" << 3000 << "delay" << 0 << header(3000, false);
    // The check passes on "OK" as a word (no letter directly before or
    // after it), however the device phrases it and whether or not it ends
    // the line; an OK the answer takes back is no confirmation, and an
    // answer without a status word is not understood, at once.
    for (const char *answer : { "OK", "iwr ? OK", "CRC OK\r\n", "CRC_OK\r\n", "OK1\r\n", "IMAGE_OK\r\n", "OK, then closed" })
        QTest::addRow("check answered \"%s\"", QByteArray(answer).trimmed().constData())
            << "PR.INC" << 100 << QStringLiteral("check answer ") + answer << 0 << header(100, false);
    for (const char *answer : { "NOT OK\r\n", "not OK\r\n", "BAD CRC OK\r\n", "iwr ? FAIL OK\r\n", "NOK\r\n",
                                "OKAY\r\n", "CRC 1A2B\r\n", "Unknown command\r\n" })
        QTest::addRow("check answered \"%s\"", QByteArray(answer).trimmed().constData())
            << "PR.INC" << 100 << QStringLiteral("check answer ") + answer << 8 << header(100, false);
    // 'W' records are acknowledged by the same rule: "NOK" is none.
    QTest::newRow("W records answered NOK") << "PR.INB" << 100 << "records answered NOK" << 9 << "";
    // Every record and the header taken, and the check's connection refused:
    // sent, not checked; never "did not take".
    QTest::newRow("check's connection refused") << "PR.INC" << 100 << "unreachable after header" << 12
                                                << header(100, false);
    // Past 1 MiB, record addresses take six hex digits.
    QTest::newRow("1.2 MiB, I mode") << "PR.INC" << 1258291 << "" << 0 << header(1258291, false);
    QTest::newRow("check answered with 5000 bytes, then OK") << "PR.INC" << 100 << "check answer long" << 8
                                                             << header(100, false);
    // Lines ended in LF or CR alone are lines all the same.
    QTest::newRow("lines end in LF") << "PR.INC" << 1000 << "line end \n" << 0 << header(1000, false);
    QTest::newRow("lines end in CR") << "PR.INC" << 1000 << "line end \r" << 0 << header(1000, false);
}

void UploadTaskTest::upload()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(QString, fault);
    QFETCH(int, result);
    QFETCH(QString, header);
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    if (fault == QLatin1String("error") || fault == QLatin1String("split error"))
        options.errorAtRecord = 5;
    else if (fault == QLatin1String("error last"))
        options.errorAtRecord = (size + 31) / 32;
    else if (fault.endsWith(QLatin1String("silent last")))
        options.silentFromRecord = (size + 31) / 32;
    else if (fault == QLatin1String("close"))
        options.closeAtRecord = 5;
    else if (fault == QLatin1String("silent"))
        options.silentFromRecord = 5;
    options.wrongCrc = fault == QLatin1String("crc") || fault.startsWith(QLatin1String("late greeting"));
    if (fault == QLatin1String("greeting"))
        options.greeting = "Welcome\r\n";
    if (fault.startsWith(QLatin1String("greeting silent")))
        options.greeting = "Ready, OK\r\n";
    if (fault.startsWith(QLatin1String("late greeting"))) {
        // A plain "OK" greeting would pass for the check's own answer.
        options.greetingDelay = fault.section(QLatin1Char(' '), 2, 2).toInt();
        if (options.greetingDelay == 0) {
            options.greeting = "Device ready, OK\r\n";
            options.greetingDelay = 300;
            options.checkDelay = 200;
        }
    }
    if (fault == QLatin1String("no greeting"))
        options.greeting.clear();
    if (fault == QLatin1String("double")) {
        options.doubleAcknowledgements = true;
        options.silentFromRecord = 16;
    }
    options.closeAfterCheck = fault.endsWith(QLatin1String(", then closed"));
    fault.remove(QStringLiteral(", then closed"));
    if (fault.startsWith(QLatin1String("check answer ")))
        options.checkPassed = fault == QLatin1String("check answer long") ? QByteArray(5000, 'x') + "\r\nOK\r\n"
                                                                          : fault.mid(13).toLatin1();
    if (fault == QLatin1String("records answered NOK"))
        options.recordAnswer = "NOK\r\n";
    if (fault == QLatin1String("unreachable after header")) {
        options.fault = NetworkDeviceSimulator::Fault::Unreachable;
        options.faultStep = "header";
    }
    if (fault.startsWith(QLatin1String("line end ")))
        options.lineEnd = fault.mid(9).toLatin1();
    options.splitReplies = fault.startsWith(QLatin1String("split")) || fault.endsWith(QLatin1String(" split"));
    options.recordDelay = fault == QLatin1String("delay") ? 5 : 0;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());
    const QString path = writeImage(QTest::currentDataTag() + QStringLiteral("/") + name, size);
    QVERIFY(!path.isEmpty());
    const QByteArray image = TestImage::bytes(size);

    NetworkDevice device(QStringLiteral("127.0.0.1"), simulated.port());
    UploadTask task(&device, path);
    QSignalSpy finished(&task, &Task::taskFinished);
    QSignalSpy starts(&task, &Task::uploadStart);
    QSignalSpy progress(&task, &Task::uploadProgress);
    // (Tens of thousands of records would log a line each.)
    if (size > 100000)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QElapsedTimer elapsed;
    elapsed.start();
    task.run();
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), result);
    // What a user is told names the real cause.
    const QString said = task.problemText(QStringLiteral("here"));
    if (fault == QLatin1String("check answer long"))
        QVERIFY2(said.contains(QLatin1String("answered its check of the whole image with more than 4096 bytes")),
                 qPrintable(said));
    else if (result == 8 && fault.startsWith(QLatin1String("check answer")))
        QVERIFY2(said.contains(options.checkPassed.startsWith("Unknown")
                                   ? QStringLiteral("refused its check of the whole image")
                                   : QStringLiteral("answered its check of the whole image with \"%1\"")
                                         .arg(QString::fromLatin1(options.checkPassed.trimmed()))),
                 qPrintable(said));
    else if (fault == QLatin1String("records answered NOK") || result == 12)
        QVERIFY2(said.contains(result == 9 ? "with \"NOK" : "the image was sent, not checked"), qPrintable(said));
    // (A device that does not greet costs the reply time on each connection;
    // an answer to the check is judged as soon as it is whole; a large image
    // is given 25 us a byte, and 40 under the sanitizers, where 1.2 MiB took
    // up to 37 s on two busy cores.)
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int bytesPerMs = 25;
#else
    const int bytesPerMs = 40;
#endif
    const int bound = (result == 9 ? 6500 : fault.startsWith(QLatin1String("check answer")) ? 1500 : 3000)
        + options.greetingDelay * 2 + (options.greeting.isEmpty() ? 5000 : 0) + size / bytesPerMs;
    QVERIFY2(elapsed.elapsed() < bound, qPrintable(QString::number(elapsed.elapsed())));

    QTRY_VERIFY(simulated.allClosed());
    const Wire wire = readJournal(simulated.journal());
    const QString fileName = QFileInfo(name).fileName();
    const bool wMode = fileName.endsWith(QLatin1String(".INB")) && !fileName.contains(QLatin1String("BOOT"));
    const int base = wMode ? 0 : 0x40;
    // Records in file order at consecutive addresses, 32 bytes but the last,
    // each in a block of 536 bytes.
    for (int i = 0; i < wire.addresses.size(); ++i) {
        QCOMPARE(wire.addresses[i], QStringLiteral("%1%2").arg(wMode ? 'W' : 'I').arg(base + 32 * i, 5, 16, QLatin1Char('0')).toUpper());
        QCOMPARE(wire.sizes[i], qMin(32, size - 32 * i));
    }
    // (After a fault the device stops reading: records still in flight then
    // count into the last block up to the close.)
    for (int i = 0; i < wire.commands.size() && (result == 0 || result == 11); ++i) {
        if (wire.commands[i] == QLatin1String("record") || wire.commands[i] == QLatin1String("header"))
            QCOMPARE(wire.blocks.at(i), qint64(536));
    }
    QCOMPARE(wire.header, header);
    QCOMPARE(wire.commands.contains(QLatin1String("start I0")), !wMode);

    if (result == 0 || result == 11) {
        QCOMPARE(wire.addresses.size(), (size + 31) / 32);
        QCOMPARE(simulated.image(wMode ? 'W' : 'I'), image);
        QCOMPARE(starts.count(), 1);
        QCOMPARE(starts.at(0).at(1).toInt(), size / 32);
        QList<int> values;
        for (const auto &arguments : progress)
            values << arguments.at(0).toInt();
        QCOMPARE(values.size(), size / 32);
        for (int i = 0; i < values.size(); ++i)
            QCOMPARE(values[i], i + 1);
    } else if (header.isEmpty() && !fault.endsWith(QLatin1String("last")) && !options.recordAnswer.size()) {
        // The first failure ends the transfer: no header for a partial image.
        // (A device that answers every record with words that are no
        // acknowledgement gets every record, and no more.)
        QVERIFY(wire.addresses.size() < (size + 31) / 32);
    }
    // The check runs on a second connection, in 'I' mode after a complete
    // upload only.
    const bool checked = !wMode && !header.isEmpty() && result != 12;
    QCOMPARE(wire.connections, checked ? 2 : 1);
    // (The device found the image whole; an answer it phrased so that it
    // says nothing is still no success.)
    QCOMPARE(wire.commands.contains(QLatin1String("check OK")),
             checked && (result == 0 || fault.startsWith(QLatin1String("check answer"))));
}

// Stopped at any moment, by the user or by the application quitting (its
// window closed, so no event loop runs any more): no result (a stop is
// never success), nothing goes to the device beyond what was in flight,
// and the upload ends at once rather than wait out the device or spin.
void UploadTaskTest::stops_data()
{
    QTest::addColumn<QString>("when");              // what the device saw last: "record N", or the check's "greeting" or "check"
    QTest::addColumn<bool>("quit");
    QTest::newRow("at record 10") << "record 10" << false;
    QTest::newRow("while the check's greeting is awaited") << "greeting" << false;
    QTest::newRow("after the check was sent") << "check" << false;
    QTest::newRow("application quits awaiting the last acknowledgements") << "record 20" << true;
}

void UploadTaskTest::stops()
{
    QFETCH(QString, when);
    QFETCH(bool, quit);
    const bool inRecords = when.startsWith(QLatin1String("record "));
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.recordDelay = quit ? 0 : 5;
    options.silentFromRecord = quit ? 20 : 0;      // the last acknowledgements never come
    options.wrongCrc = true;                        // a check would be answered ERROR, a second late
    options.checkDelay = 1000;
    options.greetingDelay = when == QLatin1String("greeting") ? 1000 : 0;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());
    const QString path = writeImage(QStringLiteral("PR_STOP.INC"), quit ? 32 * 20 : inRecords ? 2000 : 300);
    QVERIFY(!path.isEmpty());

    NetworkDevice device(QStringLiteral("127.0.0.1"), simulated.port());
    UploadTask task(&device, path);
    QSignalSpy finished(&task, &Task::taskFinished);
    const auto reached = [&] {
        const Wire wire = readJournal(simulated.journal());
        if (inRecords)
            return wire.addresses.size() >= when.mid(7).toInt();
        // The check's connection is the second one.
        return wire.connections == 2
            && (when == QLatin1String("greeting") || !simulated.journal().filter(QStringLiteral(" check ")).isEmpty());
    };
    QElapsedTimer stoppedAt;
    QTimer watch;
    connect(&watch, &QTimer::timeout, &task, [&] {
        if (stoppedAt.isValid() || !reached())
            return;
        stoppedAt.start();
        if (quit)
            QCoreApplication::exit(0);
        else
            task.stop();
    });
    watch.start(5);
    task.run();
    watch.stop();
    QVERIFY(stoppedAt.isValid());
    QVERIFY2(stoppedAt.elapsed() < 1000, qPrintable(QString::number(stoppedAt.elapsed())));
    QCOMPARE(finished.count(), 0);
    if (quit) {
        // One run of the application's loop lets event loops run again.
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCoreApplication::exec();
    }
    QTRY_VERIFY(simulated.allClosed());
    const Wire wire = readJournal(simulated.journal());
    if (inRecords) {
        const int seen = when.mid(7).toInt();
        QVERIFY2(wire.addresses.size() <= seen + 3, qPrintable(wire.addresses.join(' ')));
        QVERIFY(wire.header.isEmpty());
    }
    QCOMPARE(wire.connections, inRecords ? 1 : 2);
    QCOMPARE(wire.commands.filter(QStringLiteral("check")).size(), when == QLatin1String("check") ? 1 : 0);
}

void UploadTaskTest::twoAcknowledgementsInOneRead()
{
    // Two records, both answered in one write: both count, so the wait for
    // the last acknowledgements ends at once instead of after 5 s.
    ScriptedPeer peer([](ScriptedPeer &p, const QByteArray &received) {
        if (received.size() == 2 * UploadTask::blockSize)
            p.say("OK\r\nOK\r\n");
    });
    peer.onConnect = [](ScriptedPeer &p) { p.say("Ready\r\n"); };
    const QString path = writeImage(QStringLiteral("TWO.INB"), 64);
    QVERIFY(!path.isEmpty());
    NetworkDevice device(QStringLiteral("127.0.0.1"), peer.port());
    UploadTask task(&device, path);
    QSignalSpy finished(&task, &Task::taskFinished);
    QElapsedTimer elapsed;
    elapsed.start();
    task.run();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 11);
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
}

void UploadTaskTest::recordLines_data()
{
    QTest::addColumn<char>("mode");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("first I record") << 'I' << quint32(0x40) << QByteArray::fromHex("00ff1a")
                                    << QByteArray("iwr I00040 00FF1A\r\n");
    QTest::newRow("below 1 MiB") << 'W' << quint32(0xFFFE0) << QByteArray(1, char(0xAB))
                                 << QByteArray("iwr WFFFE0 AB\r\n");
    QTest::newRow("1 MiB: six digits") << 'W' << quint32(1048576) << QByteArray(1, char(0x01))
                                       << QByteArray("iwr W100000 01\r\n");
    QTest::newRow("full record is 77 bytes") << 'I' << quint32(0x60) << QByteArray(32, char(0x5A))
                                             << "iwr I00060 " + QByteArray(32, char(0x5A)).toHex().toUpper() + "\r\n";
}

void UploadTaskTest::recordLines()
{
    QFETCH(char, mode);
    QFETCH(quint32, address);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, line);
    QCOMPARE(UploadTask::recordLine(mode, address, data), line);
    if (data.size() == 32)
        QCOMPARE(line.size(), 77);
}

void UploadTaskTest::unreadableImage()
{
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());
    NetworkDevice device(QStringLiteral("127.0.0.1"), simulated.port());
    UploadTask task(&device, m_dir.filePath(QStringLiteral("MISSING.INC")));
    QSignalSpy errors(&task, &Task::taskError);
    QSignalSpy finished(&task, &Task::taskFinished);
    task.run();
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("File open error!"));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 7);

    // No device at all: 2, and the image is not even opened.
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    NetworkDevice gone(QStringLiteral("127.0.0.1"), closed.serverPort());
    closed.close();
    UploadTask unreachable(&gone, m_dir.filePath(QStringLiteral("MISSING.INC")));
    QSignalSpy unreachableErrors(&unreachable, &Task::taskError);
    QSignalSpy unreachableFinished(&unreachable, &Task::taskFinished);
    unreachable.run();
    QCOMPARE(unreachableErrors.count(), 0);
    QCOMPARE(unreachableFinished.at(0).at(0).toInt(), 2);

    QVERIFY(simulated.journal().filter(QRegularExpression(QStringLiteral("start|record"))).isEmpty());
}

QTEST_GUILESS_MAIN(UploadTaskTest)
#include "tst_uploadtask.moc"
