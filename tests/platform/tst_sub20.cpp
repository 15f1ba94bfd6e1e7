// The adapter layer through its eight functions: choosing the backend, the
// simulated adapter with its pad (Modbus answers and faults, infrared
// frames), a null handle, and the RS-485 backend against a real
// pseudo-terminal pair whose other side plays the pad.
#include "sub20.h"

#include "crc16modbus.h"
#include "crc8lte.h"
#include "privatesettings.h"
#include "rs485sub20.h"
#include "simulatedsub20.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace {

// A Write File Record request for `address`, record `record` of file 0.
QByteArray request(int address, int record, const QByteArray &data)
{
    QByteArray frame;
    frame.append(char(address)).append(char(0x15)).append(char(data.size() + 7)).append(char(6));
    frame.append(char(0)).append(char(0)).append(char(record >> 8)).append(char(record & 0xFF));
    frame.append(char(0)).append(char(data.size() / 2)).append(data);
    Crc16Modbus::append(frame);
    return frame;
}

QByteArray irFrame(int counter, const QByteArray &block)
{
    QByteArray frame = QByteArray::fromHex("5555C3EA");
    frame.append(char(counter)).append(block);
    frame.append(char(Crc8Lte::compute(frame.constData() + 4, 49)));
    frame.append(QByteArray(8, char(0xFF)));
    return frame;
}

void configure(const QVariantMap &values)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"), QStringLiteral("Tamsel"));
    settings.remove(QStringLiteral("adapter"));
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(QStringLiteral("adapter/") + it.key(), it.value());
    settings.sync();
}

int transfer(sub_handle handle, QByteArray tx, QByteArray *reply)
{
    char rx[62] = {};
    const int got = sub_rs_xfer(handle, tx.data(), tx.size(), rx, sizeof rx);
    *reply = got > 0 ? QByteArray(rx, got) : QByteArray();
    return got;
}

} // namespace

class Sub20Test : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void backendChoice_data();
    void backendChoice();
    void simulatedModbus_data();
    void simulatedModbus();
    void simulatedInfrared();
    void nullHandle();
    void rs485Settings_data();
    void rs485Settings();
    void rs485OnAPseudoTerminal_data();
    void rs485OnAPseudoTerminal();

private:
    std::unique_ptr<PrivateSettings> m_settings;
};

void Sub20Test::init()
{
    m_settings.reset(new PrivateSettings);
    qunsetenv("TAMSEL_ADAPTER");
}

void Sub20Test::backendChoice_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<bool>("open");
    QTest::newRow("nothing configured") << "" << QByteArray() << false;
    QTest::newRow("simulated") << "simulated" << QByteArray() << true;
    QTest::newRow("environment wins") << "simulated" << QByteArray("none") << false;
    QTest::newRow("environment alone") << "" << QByteArray("Simulated") << true;
    QTest::newRow("rs485 without its port") << "rs485" << QByteArray() << false;
}

void Sub20Test::backendChoice()
{
    QFETCH(QString, setting);
    QFETCH(QByteArray, environment);
    QFETCH(bool, open);
    QVariantMap values;
    if (!setting.isEmpty())
        values.insert(QStringLiteral("backend"), setting);
    values.insert(QStringLiteral("port"), QStringLiteral("/dev/nonexistent-rs485"));
    configure(values);
    if (!environment.isEmpty())
        qputenv("TAMSEL_ADAPTER", environment);
    sub_handle handle = sub_open(nullptr);
    QCOMPARE(handle != nullptr, open);
    sub_close(handle);
}

void Sub20Test::simulatedModbus_data()
{
    const QByteArray data = QByteArray::fromHex("01020304");
    QTest::addColumn<QVariantMap>("faults");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");          // empty: nothing received
    QTest::addColumn<bool>("stored");
    const QByteArray good = request(0x50, 3, data);
    QByteArray badCrc = good;
    badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 1);
    QByteArray exception = QByteArray::fromHex("509502");
    Crc16Modbus::append(exception);
    QByteArray brokenEcho = good;
    brokenEcho[brokenEcho.size() - 1] = char(brokenEcho.at(brokenEcho.size() - 1) ^ 0xFF);
    QByteArray readCoils = QByteArray::fromHex("500100000001");
    Crc16Modbus::append(readCoils);
    QByteArray illegalFunction = QByteArray::fromHex("508101");
    Crc16Modbus::append(illegalFunction);

    QTest::newRow("echo") << QVariantMap() << good << good << true;
    QTest::newRow("another slave") << QVariantMap() << request(0x51, 3, data) << QByteArray() << false;
    QTest::newRow("bad CRC") << QVariantMap() << badCrc << QByteArray() << false;
    QTest::newRow("broadcast: stored, not answered") << QVariantMap() << request(0, 3, data) << QByteArray() << true;
    QTest::newRow("exception on demand") << QVariantMap{ { "exception_at", 1 }, { "exception_code", 2 } } << good
                                         << exception << false;
    QTest::newRow("broken CRC on demand") << QVariantMap{ { "crc_error_at", 1 } } << good << brokenEcho << true;
    QTest::newRow("silence on demand") << QVariantMap{ { "timeout_at", 1 } } << good << QByteArray() << true;
    QTest::newRow("other function") << QVariantMap() << readCoils << illegalFunction << false;
    // A record the pad dropped is not echoed as if taken.
    QTest::newRow("dropped on demand, not answered")
        << QVariantMap{ { "exception_at", 1 }, { "exception_code", 0 } } << good << QByteArray() << false;
}

void Sub20Test::simulatedModbus()
{
    QFETCH(QVariantMap, faults);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(bool, stored);
    QTemporaryDir dir;
    faults.insert(QStringLiteral("backend"), QStringLiteral("simulated"));
    faults.insert(QStringLiteral("image"), dir.filePath(QStringLiteral("received.bin")));
    configure(faults);
    sub_handle handle = sub_open(nullptr);
    QVERIFY(handle);
    QCOMPARE(sub_rs_timing(handle, 2, 0, 1000000, 10000), 0);
    QCOMPARE(reinterpret_cast<SimulatedSub20 *>(handle)->lastReplyWaitUs(), 1000000);

    QByteArray received;
    QCOMPARE(transfer(handle, request, &received), reply.size());
    QCOMPARE(received, reply);
    // Record 3 of 32-byte records: the four bytes land at offset 96.
    const QByteArray expected = stored ? QByteArray(96, '\0') + QByteArray::fromHex("01020304") : QByteArray();
    QCOMPARE(reinterpret_cast<SimulatedSub20 *>(handle)->image(), expected);
    sub_close(handle);
    QFile file(dir.filePath(QStringLiteral("received.bin")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

void Sub20Test::simulatedInfrared()
{
    configure({ { "backend", "simulated" }, { "transmit_error_at", 8 } });
    sub_handle handle = sub_open(nullptr);
    QVERIFY(handle);
    auto *pad = reinterpret_cast<SimulatedSub20 *>(handle);
    QCOMPARE(sub_ir_config(handle, 38000, 10, 1, 10), 0);
    QByteArray first(48, 'a');
    QByteArray second(48, 'b');
    // Each frame three times; a damaged frame in between is not taken.
    for (QByteArray frame : { irFrame(0, first), irFrame(0, first), irFrame(0, first), irFrame(1, second) })
        QCOMPARE(sub_ir_tx(handle, frame.size(), frame.data()), 0);
    QByteArray damaged = irFrame(2, second);
    damaged[20] = 'x';
    QCOMPARE(sub_ir_tx(handle, damaged.size(), damaged.data()), 0);
    for (int i = 0; i < 2; ++i) {
        QByteArray frame = irFrame(1, second);
        QCOMPARE(sub_ir_tx(handle, frame.size(), frame.data()), 0);
    }
    QCOMPARE(pad->irFrames(), 2);
    QCOMPARE(pad->irBadFrames(), 1);
    QCOMPARE(pad->image(), first + second);
    // The eighth transmission fails on demand.
    QByteArray frame = irFrame(2, second);
    QCOMPARE(sub_ir_tx(handle, frame.size(), frame.data()), int(SUB_ERROR_TRANSMIT));
    QCOMPARE(pad->irTransmissions(), 8);
    // A new transfer (counter 0 again), and then a Modbus update (record 0),
    // each replace what the pad held, as its flash would.
    QByteArray again = irFrame(0, QByteArray(48, 'c'));
    QCOMPARE(sub_ir_tx(handle, again.size(), again.data()), 0);
    QCOMPARE(pad->image(), QByteArray(48, 'c'));
    QByteArray record0 = request(0x50, 0, QByteArray(32, 'd'));
    QByteArray reply;
    QCOMPARE(transfer(handle, record0, &reply), record0.size());
    QCOMPARE(pad->image(), QByteArray(32, 'd'));
    QCOMPARE(QString::fromLatin1(sub_strerror(SUB_ERROR_TRANSMIT)), QStringLiteral("the transmission failed"));
    sub_close(handle);

    configure({ { "backend", "simulated" }, { "refuse_config", true } });
    handle = sub_open(nullptr);
    QCOMPARE(sub_ir_config(handle, 38000, 10, 1, 10), int(SUB_ERROR_CONFIG));
    sub_close(handle);
}

void Sub20Test::nullHandle()
{
    // What a run sees after the adapter was pulled out: failures, no crash.
    QCOMPARE(sub_ir_config(nullptr, 38000, 10, 1, 10), int(SUB_ERROR_NO_ADAPTER));
    QCOMPARE(sub_ir_tx(nullptr, 0, nullptr), int(SUB_ERROR_NO_ADAPTER));
    QCOMPARE(sub_rs_timing(nullptr, 2, 0, 10000, 10000), int(SUB_ERROR_NO_ADAPTER));
    char tx[4] = {};
    char rx[62];
    QCOMPARE(sub_rs_xfer(nullptr, tx, 4, rx, 62), -1);
    QCOMPARE(sub_errno(), int(SUB_ERROR_NO_ADAPTER));
    QCOMPARE(QString::fromLatin1(sub_strerror(sub_errno())), QStringLiteral("no adapter is open"));
    QCOMPARE(sub_close(nullptr), 0);
    QVERIFY(sub_strerror(424242));
}

void Sub20Test::rs485Settings_data()
{
    QTest::addColumn<QVariantMap>("values");
    QTest::addColumn<int>("hearsItself");            // -1: learned on the first transfer
    QTest::addColumn<QString>("problem");            // empty: the port opens
    QTest::newRow("defaults") << QVariantMap() << -1 << "";
    QTest::newRow("4800 baud") << QVariantMap{ { "baud", 4800 } } << -1 << "";
    QTest::newRow("discard_echo=no") << QVariantMap{ { "discard_echo", "no" } } << 0 << "";
    QTest::newRow("discard_echo=true") << QVariantMap{ { "discard_echo", "true" } } << 1 << "";
    QTest::newRow("unknown rate") << QVariantMap{ { "baud", 4801 } } << -1
                                  << "The adapter setting baud=4801 cannot be used: baud must be one of 1200, "
                                     "2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600.";
    QTest::newRow("discard_echo=maybe") << QVariantMap{ { "discard_echo", "maybe" } } << -1
                                        << "The adapter setting discard_echo=maybe cannot be used: discard_echo must "
                                           "be auto, true or false (or yes, no, 1, 0).";
    QTest::newRow("parity=mark") << QVariantMap{ { "parity", "mark" } } << -1
                                 << "The adapter setting parity=mark cannot be used: parity must be none, even "
                                    "or odd (or n, e, o).";
}

void Sub20Test::rs485Settings()
{
    QFETCH(QVariantMap, values);
    QFETCH(int, hearsItself);
    QFETCH(QString, problem);
    int master = -1;
    int slave = -1;
    char name[64] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    values.insert(QStringLiteral("backend"), QStringLiteral("rs485"));
    values.insert(QStringLiteral("port"), QString::fromLatin1(name));
    configure(values);
    sub_handle handle = sub_open(nullptr);
    ::close(slave);
    ::close(master);
    QCOMPARE(handle != nullptr, problem.isEmpty());
    QCOMPARE(sub20OpenProblem(), problem);
    if (handle)
        QCOMPARE(reinterpret_cast<Rs485Sub20 *>(handle)->hearsItself(), hearsItself);
    sub_close(handle);
}

void Sub20Test::rs485OnAPseudoTerminal_data()
{
    QTest::addColumn<bool>("echoOnLine");       // the converter hears itself
    QTest::addColumn<QString>("discardEcho");   // the setting
    QTest::addColumn<int>("replyDelay");        // ms; -1: the pad stays silent
    QTest::addColumn<int>("pieceGap");          // ms between the two halves of the reply and of the echo
    QTest::addColumn<bool>("answered");
    QTest::newRow("reply") << false << "false" << 20 << 0 << true;
    QTest::newRow("echo discarded") << true << "true" << 20 << 0 << true;
    QTest::newRow("echo and reply in one burst") << true << "true" << 0 << 0 << true;
    QTest::newRow("silence ends with the reply wait") << false << "false" << -1 << 0 << false;
    QTest::newRow("reply later than the wait") << false << "false" << 400 << 0 << false;
    // A converter hands a reply over in USB packets, a latency tick apart.
    QTest::newRow("reply in two packets") << false << "false" << 5 << 30 << true;
    // Whether the converter echoes is learned with a probe no pad answers.
    QTest::newRow("echo learned") << true << "auto" << 20 << 16 << true;
    QTest::newRow("no echo learned") << false << "auto" << 20 << 0 << true;
    QTest::newRow("echo learned, no pad") << true << "auto" << -1 << 0 << false;
    // An echo split by a long latency tick is still echo, never an answer.
    QTest::newRow("echo in two packets, no pad") << true << "true" << -1 << 120 << false;
}

void Sub20Test::rs485OnAPseudoTerminal()
{
    QFETCH(bool, echoOnLine);
    QFETCH(QString, discardEcho);
    QFETCH(int, replyDelay);
    QFETCH(int, pieceGap);
    QFETCH(bool, answered);
    int master = -1;
    int slave = -1;
    char name[64] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    configure({ { "backend", "rs485" }, { "port", QString::fromLatin1(name) }, { "discard_echo", discardEcho } });
    sub_handle handle = sub_open(nullptr);
    ::close(slave);
    QVERIFY(handle);
    QCOMPARE(sub_ir_config(handle, 38000, 10, 1, 10), int(SUB_ERROR_NOT_SUPPORTED));
    QCOMPARE(QString::fromLatin1(sub_strerror(SUB_ERROR_NOT_SUPPORTED)), QStringLiteral("not supported by this adapter"));

    // The line: the converter's echo of whatever goes out (if it has one);
    // the pad answers one request, later, its answer in two halves.
    const QByteArray sent = request(0x50, 1, QByteArray::fromHex("0A0B"));
    // An answer unlike the request, so an echo taken for it would show.
    QByteArray answer = QByteArray::fromHex("509502");
    Crc16Modbus::append(answer);
    const bool probed = discardEcho == QLatin1String("auto");
    QByteArray seen;
    std::thread pad([&] {
        const auto readFrame = [&](int size) {
            QByteArray got;
            while (got.size() < size) {
                struct pollfd watch = { master, POLLIN, 0 };
                if (::poll(&watch, 1, 2000) <= 0)
                    return QByteArray();
                char buffer[64];
                const ssize_t n = ::read(master, buffer, size_t(size - got.size()));
                if (n <= 0)
                    return QByteArray();
                got.append(buffer, int(n));
            }
            if (echoOnLine) {
                const int half = int(got.size()) / 2;
                if (::write(master, got.constData(), size_t(half)) < 0)
                    return QByteArray();
                ::usleep(useconds_t(pieceGap) * 1000);
                if (::write(master, got.constData() + half, size_t(got.size() - half)) < 0)
                    return QByteArray();
            }
            return got;
        };
        if (probed && readFrame(8).isEmpty())
            return;
        seen = readFrame(int(sent.size()));
        if (seen.isEmpty() || replyDelay < 0)
            return;
        ::usleep(useconds_t(replyDelay) * 1000);
        if (::write(master, answer.constData(), 2) < 0)
            return;
        ::usleep(useconds_t(pieceGap) * 1000);
        if (::write(master, answer.constData() + 2, size_t(answer.size() - 2)) < 0)
            return;
    });
    QCOMPARE(sub_rs_timing(handle, 2, 0, 200000, 10000), 0);
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray reply;
    const int got = transfer(handle, sent, &reply);
    const qint64 took = elapsed.elapsed();
    pad.join();
    QCOMPARE(seen, sent);
    QCOMPARE(got, answered ? answer.size() : 0);
    QCOMPARE(reply, answered ? answer : QByteArray());
    QCOMPARE(reinterpret_cast<Rs485Sub20 *>(handle)->hearsItself(), int(echoOnLine));
    if (!answered)
        QVERIFY2(took >= 190 && took < 600, qPrintable(QString::number(took)));

    // The converter gone: the next transfer fails instead of waiting.
    ::close(master);
    QByteArray none;
    QCOMPARE(transfer(handle, sent, &none), -1);
    QCOMPARE(sub_errno(), int(SUB_ERROR_PORT));
    sub_close(handle);
}

QTEST_GUILESS_MAIN(Sub20Test)
#include "tst_sub20.moc"
