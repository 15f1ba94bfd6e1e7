// The pad transfers against a scripted adapter: the Modbus master's results,
// texts and trace lines, the Modbus update's records, and the infrared
// frames, each checked byte for byte.
#include "mainwindow.h"
#include "mainwindowprobe.h"
#include "tamselwidgets.h"

#include "crc16modbus.h"
#include "crc8lte.h"
#include "emitter.h"
#include "modaldriver.h"
#include "modbus.h"
#include "testimage.h"
#include "privatesettings.h"
#include "sub20adapter.h"

#include <QMessageBox>
#include <QSignalSpy>
#include <QtTest>

#include <cstring>
#include <functional>
#include <memory>

namespace {

// An adapter whose answers the test writes; it records what goes out.
class ScriptedAdapter : public Sub20Adapter
{
public:
    // Returns the reply, or sets *result (0: nothing, -1: failure).
    std::function<QByteArray(const QByteArray &request, int *result)> answer = [](const QByteArray &request, int *) {
        return request;
    };
    int configResult = 0;
    QList<int> config;
    int transmitFailsAt = 0;            // transmission k (from 1) fails
    QList<QByteArray> requests;
    QList<QByteArray> frames;
    int replyWaitUs = 0;

    int irConfig(int carrier, int duty, int mode, int repeats) override
    {
        config = { carrier, duty, mode, repeats };
        return configResult;
    }
    int irTransmit(const char *data, int size) override
    {
        frames << QByteArray(data, size);
        return frames.size() == transmitFailsAt ? int(SUB_ERROR_TRANSMIT) : 0;
    }
    int rsTiming(int, int, int replyWait, int) override
    {
        replyWaitUs = replyWait;
        return 0;
    }
    int rsTransfer(const char *tx, int txSize, char *rx, int rxSize) override
    {
        requests << QByteArray(tx, txSize);
        int result = 0;
        const QByteArray reply = answer(requests.last(), &result);
        if (result < 0) {
            setError(SUB_ERROR_PORT);
            return -1;
        }
        const int count = qMin(rxSize, int(reply.size()));
        std::memcpy(rx, reply.constData(), size_t(count));
        return count;
    }
};

sub_handle handleOf(ScriptedAdapter *adapter)
{
    return reinterpret_cast<sub_handle>(adapter);
}

QByteArray withCrc(QByteArray frame)
{
    Crc16Modbus::append(frame);
    return frame;
}

QStringList infoLines;
void collectInfo(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtInfoMsg)
        infoLines << text;
}

} // namespace

class PadTransfersTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void modbusResults_data();
    void modbusResults();
    void traceExamplesAndBroadcast();
    void modbusUpdate_data();
    void modbusUpdate();
    void imageChangesDuringTheUpdate_data();
    void imageChangesDuringTheUpdate();
    void infrared_data();
    void infrared();

private:
    // A window whose runs talk to `adapter`; the runs are called directly.
    void makeWindow(ScriptedAdapter *adapter, const QByteArray &image, int address = 0x50);

    std::unique_ptr<PrivateSettings> m_settings;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_boxes;
    std::unique_ptr<ModalDriver> m_driver;
};

void PadTransfersTest::init()
{
    m_settings.reset(new PrivateSettings);
    m_dir.reset(new QTemporaryDir);
    qputenv("TAMSEL_ADAPTER", "simulated");
    m_boxes.clear();
    m_driver.reset(new ModalDriver([this](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            m_boxes << box->informativeText();
            box->done(QMessageBox::Close);
        }
    }));
    infoLines.clear();
}

void PadTransfersTest::cleanup()
{
    qInstallMessageHandler(nullptr);
    if (m_window)
        probe(m_window).adapterHandle() = nullptr;   // the test's adapter is not the window's to close
    m_window.reset();
    m_driver.reset();
    m_dir.reset();
    m_settings.reset();
}

void PadTransfersTest::makeWindow(ScriptedAdapter *adapter, const QByteArray &image, int address)
{
    const QString path = TestImage::store(m_dir->path(), QStringLiteral("PAD.INC"), image);
    QVERIFY(!path.isEmpty());
    m_window.reset(new MainWindow);
    sub_close(probe(m_window).adapterHandle().exchange(handleOf(adapter)));
    probe(m_window).imageFileName() = path;
    probe(m_window).slaveAddress() = address;
}

void PadTransfersTest::modbusResults_data()
{
    QTest::addColumn<int>("kind");                   // what the pad answers, see below
    QTest::addColumn<bool>("trace");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("lines");                  // trace lines logged
    enum { Echo, TwoBytes, ThreeBadBytes, SwappedCrc, Exception1, Exception4, Exception11, Nothing, Failure,
           OtherSlave, OtherFunction, ChangedEcho, OtherSlaveException };
    QTest::newRow("echo") << int(Echo) << true << 0 << "" << 2;
    QTest::newRow("2-byte reply") << int(TwoBytes) << true << 32 << "Frame incomplete (sz=2)\n" << 2;
    QTest::newRow("3 bytes go to the CRC") << int(ThreeBadBytes) << true << 74 << "CRC error" << 2;
    QTest::newRow("swapped CRC bytes") << int(SwappedCrc) << true << 74 << "CRC error" << 2;
    QTest::newRow("exception 1") << int(Exception1) << true << 40 << "Modbus Exception: Illegal Function" << 2;
    QTest::newRow("exception 4") << int(Exception4) << true << 40 << "Modbus Exception: Slave Device Failure" << 2;
    QTest::newRow("exception 0x0B") << int(Exception11) << true << 40 << "Modbus Exception: 11 - Unknown" << 2;
    QTest::newRow("no reply") << int(Nothing) << true << 138 << "Modbus Timeout" << 1;
    QTest::newRow("adapter failure") << int(Failure) << true << 1
                                     << "sub_rs_xfer: the serial port failed or is gone" << 1;
    // Only the addressed pad's answer to this request counts, whatever
    // its CRC says.
    QTest::newRow("another slave's echo") << int(OtherSlave) << true << 71
                                          << "Modbus reply from slave 0x51 with function 0x15 does not answer the request "
                                             "to slave 0x50"
                                          << 2;
    QTest::newRow("another function") << int(OtherFunction) << true << 71
                                      << "Modbus reply from slave 0x50 with function 0x10 does not answer the request to "
                                         "slave 0x50"
                                      << 2;
    QTest::newRow("echo of other data") << int(ChangedEcho) << true << 71
                                        << "Modbus reply from slave 0x50 with function 0x15 does not answer the request "
                                           "to slave 0x50"
                                        << 2;
    QTest::newRow("another slave's exception") << int(OtherSlaveException) << true << 71
                                               << "Modbus reply from slave 0x51 with function 0x95 does not answer the "
                                                  "request to slave 0x50"
                                               << 2;
    QTest::newRow("tracing off, error still said") << int(SwappedCrc) << false << 74 << "CRC error" << 0;
}

void PadTransfersTest::modbusResults()
{
    QFETCH(int, kind);
    QFETCH(bool, trace);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(int, lines);
    ScriptedAdapter adapter;
    adapter.answer = [kind](const QByteArray &request, int *result) -> QByteArray {
        switch (kind) {
        case 1: return request.left(2);
        case 2: return QByteArray::fromHex("501500");
        case 3: {
            const int n = request.size();
            return request.left(n - 2) + request.at(n - 1) + request.at(n - 2);
        }
        case 4: return withCrc(QByteArray::fromHex("509501"));
        case 5: return withCrc(QByteArray::fromHex("509504"));
        case 6: return withCrc(QByteArray::fromHex("50950B"));
        case 7: return QByteArray();
        case 8: *result = -1; return QByteArray();
        case 9: return withCrc(QByteArray(1, char(0x51)) + request.mid(1, request.size() - 3));
        case 10: return withCrc(QByteArray::fromHex("501000000002"));
        case 11: {
            QByteArray changed = request.left(request.size() - 2);
            changed[12] = char(changed[12] ^ 0x01);
            return withCrc(changed);
        }
        case 12: return withCrc(QByteArray::fromHex("519502"));
        default: return request;
        }
    };
    Modbus modbus;
    modbus.traceEnabled = trace;
    QSignalSpy errors(&modbus, &Modbus::errorString);
    qInstallMessageHandler(collectInfo);
    const char data[4] = { 1, 2, 3, 4 };
    QCOMPARE(modbus.writeFileRecord(handleOf(&adapter), 0x50, 0, 3, 4, data), code);
    qInstallMessageHandler(nullptr);
    QCOMPARE(errors.size(), text.isEmpty() ? 0 : 1);
    if (!text.isEmpty())
        QCOMPARE(errors.at(0).at(0).toString(), text);
    QCOMPARE(infoLines.size(), lines);
    QCOMPARE(adapter.requests.size(), 1);
    QCOMPARE(adapter.replyWaitUs, 1000000);
}

void PadTransfersTest::traceExamplesAndBroadcast()
{
    ScriptedAdapter adapter;
    adapter.answer = [](const QByteArray &, int *) { return withCrc(QByteArray::fromHex("509502")); };
    Modbus modbus;
    modbus.traceEnabled = true;
    qInstallMessageHandler(collectInfo);
    const char data[4] = { 1, 2, 3, 4 };
    QCOMPARE(modbus.writeFileRecord(handleOf(&adapter), 0x50, 0, 3, 4, data), 40);
    QCOMPARE(infoLines, QStringList({ "--> 50|15|0B 06 00 00 00 03 00 02 01 02 03 04 D9_58 \n    ",
                                      "<-- 50|95|02 9F_40 " }));

    // Broadcast: the short reply wait, the pause, any answer ignored.
    infoLines.clear();
    modbus.broadcastPause = 100;
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(modbus.writeFileRecord(handleOf(&adapter), 0, 0, 3, 4, data), 0);
    QVERIFY(elapsed.elapsed() >= 95);
    QCOMPARE(adapter.replyWaitUs, 10000);
    QCOMPARE(infoLines.size(), 2);
    qInstallMessageHandler(nullptr);
}

void PadTransfersTest::modbusUpdate_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("silentFrom");            // request number (from 0) without reply; -1: none
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<int>>("recordSizes");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QString>("message");
    QTest::newRow("70 bytes") << 70 << 0x50 << -1 << 0 << QList<int>{ 32, 32, 6 } << QList<int>{ 3, 2 } << "";
    QTest::newRow("33 bytes, one zero added") << 33 << 0x50 << -1 << 0 << QList<int>{ 32, 2 } << QList<int>{ 1 }
                                              << "";
    QTest::newRow("broadcast") << 64 << 0 << -1 << 0 << QList<int>{ 32, 32 } << QList<int>{ 2 } << "";
    QTest::newRow("timeout at record 5") << 320 << 0x50 << 5 << 138 << QList<int>{ 32, 32, 32, 32, 32, 32 }
                                         << QList<int>{ 3 } << "Modbus Timeout";
    // Refused before anything is sent: nothing to write, or more records
    // than the pad numbers (0 to 9999).
    QTest::newRow("empty image") << 0 << 0x50 << -1 << -1 << QList<int>() << QList<int>() << "%1 is empty";
    QTest::newRow("10000 records fit") << 320000 << 0x50 << -1 << 0 << QList<int>() << QList<int>() << "";
    QTest::newRow("10001 records do not") << 320001 << 0x50 << -1 << -1 << QList<int>() << QList<int>()
                                          << "%1 has 320001 bytes; a Modbus update numbers at most 10000 records";
    // (Its size is 0; the first byte read fails.)
    QTest::newRow("image read fails") << -1 << 0x50 << -1 << -1 << QList<int>() << QList<int>()
                                      << "IRBOOT. Image read failed: Input/output error";
}

void PadTransfersTest::modbusUpdate()
{
    QFETCH(int, size);
    QFETCH(int, address);
    QFETCH(int, silentFrom);
    QFETCH(int, result);
    QFETCH(QList<int>, recordSizes);
    QFETCH(QList<int>, progress);
    QFETCH(QString, message);
    ScriptedAdapter adapter;
    adapter.answer = [silentFrom, &adapter](const QByteArray &request, int *) {
        return silentFrom >= 0 && adapter.requests.size() > silentFrom ? QByteArray() : request;
    };
    QByteArray image(qMax(size, 0), Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 7 + 1);
    makeWindow(&adapter, image, address);
    if (size < 0)
        probe(m_window).imageFileName() = QStringLiteral("/proc/self/mem");
    QSignalSpy starts(probe(m_window).emitter(), &Emitter::load_start);
    QSignalSpy steps(probe(m_window).emitter(), &Emitter::load_progress);

    // (Ten thousand records trace twenty thousand lines.)
    qInstallMessageHandler(collectInfo);
    QCOMPARE(m_window->modbusUpdateRun(), result);
    qInstallMessageHandler(nullptr);
    const bool refused = result == -1;
    QCOMPARE(starts.size(), refused ? 0 : 1);
    if (!refused)
        QCOMPARE(starts.at(0).at(1).toInt(), size / 32);
    QList<int> seen;
    for (const auto &arguments : steps)
        seen << arguments.at(0).toInt();
    if (size < 32 * 100) {
        QCOMPARE(seen, progress);
        QCOMPARE(adapter.requests.size(), recordSizes.size());
    } else if (!refused) {
        QCOMPARE(adapter.requests.size(), (size + 31) / 32);
        QCOMPARE(seen.last(), size / 32);
    } else {
        // Refused before anything was sent.
        QCOMPARE(adapter.requests.size(), 0);
    }
    QByteArray sent;
    for (int i = 0; i < adapter.requests.size(); ++i) {
        const QByteArray &frame = adapter.requests[i];
        const int length = i < recordSizes.size() ? recordSizes[i] : 32;
        QCOMPARE(frame.size(), length + 12);
        QCOMPARE(int(quint8(frame[0])), address);
        QCOMPARE(frame.mid(1, 7), QByteArray::fromHex("15") + char(length + 7)
                                      + QByteArray::fromHex("060000") + char(i >> 8) + char(i & 0xFF));
        QCOMPARE(int(quint8(frame[9])), length / 2);
        QCOMPARE(frame.right(2), withCrc(frame.left(frame.size() - 2)).right(2));
        sent += frame.mid(10, length);
    }
    if (result == 0) {
        QCOMPARE(sent.left(size), image);
        QCOMPARE(sent.mid(size), size % 2 ? QByteArray(1, '\0') : QByteArray());
        QCOMPARE(m_boxes, QStringList());
    } else {
        QTRY_COMPARE(m_boxes.size(), 1);
        const QString expected = message.contains(QLatin1String("%1")) ? message.arg(probe(m_window).imageFileName()) : message;
        QVERIFY2(m_boxes.at(0).contains(expected), qPrintable(m_boxes.at(0)));
    }
}

void PadTransfersTest::imageChangesDuringTheUpdate_data()
{
    QTest::addColumn<int>("change");                 // bytes added (or, negative, cut) after record 2; 0: overwritten
    QTest::newRow("shrinks") << -10000;
    QTest::newRow("grows") << 100;
    QTest::newRow("overwritten in place (same size)") << 0;
}

// The pad gets the image as it was when the update began, whole: never the
// start of one and the rest of another.
void PadTransfersTest::imageChangesDuringTheUpdate()
{
    QFETCH(int, change);
    ScriptedAdapter adapter;
    const QByteArray image(32 * 400, 'i');
    makeWindow(&adapter, image);
    adapter.answer = [&](const QByteArray &request, int *) {
        if (adapter.requests.size() == 2) {
            QFile file(probe(m_window).imageFileName());
            if (!file.open(QIODevice::ReadWrite))
                return QByteArray();
            if (change < 0)
                file.resize(file.size() + change);
            else if (change == 0)
                file.write(QByteArray(image.size(), 'n'));
            else if (file.seek(file.size()))
                file.write(QByteArray(change, 'g'));
        }
        return request;
    };
    QCOMPARE(m_window->modbusUpdateRun(), 0);
    QCOMPARE(adapter.requests.size(), 400);
    QByteArray sent;
    for (const QByteArray &frame : qAsConst(adapter.requests))
        sent += frame.mid(10, 32);
    QCOMPARE(sent, image);
    QCOMPARE(m_boxes, QStringList());
}

void PadTransfersTest::infrared_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("total");
    QTest::newRow("96 bytes") << 96 << 2 << 2;
    QTest::newRow("49 bytes") << 49 << 2 << 1;
    QTest::newRow("10 bytes") << 10 << 1 << 0;
    QTest::newRow("257 frames") << 257 * 48 << 257 << 257;
}

void PadTransfersTest::infrared()
{
    QFETCH(int, size);
    QFETCH(int, frames);
    QFETCH(int, total);
    ScriptedAdapter adapter;
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 13 + 5);
    makeWindow(&adapter, image);
    QSignalSpy starts(probe(m_window).emitter(), &Emitter::load_start);
    QSignalSpy steps(probe(m_window).emitter(), &Emitter::load_progress);
    QSignalSpy finished(probe(m_window).emitter(), &Emitter::load_finish);

    QCOMPARE(m_window->irBootRun(), 0);
    QCOMPARE(adapter.config, QList<int>({ 38000, 10, 1, 10 }));
    QCOMPARE(adapter.frames.size(), 3 * frames);
    QCOMPARE(starts.at(0).at(1).toInt(), total);
    QCOMPARE(steps.last().at(0).toInt(), total);
    QCOMPARE(finished.size(), 1);
    for (int f = 0; f < frames; ++f) {
        const QByteArray frame = adapter.frames[3 * f];
        QCOMPARE(adapter.frames[3 * f + 1], frame);
        QCOMPARE(adapter.frames[3 * f + 2], frame);
        QCOMPARE(frame.size(), 62);
        QCOMPARE(frame.left(4), QByteArray::fromHex("5555C3EA"));
        // Counters 0, 1, ..., 255, then 1 again: 0 only once.
        QCOMPARE(int(quint8(frame[4])), f == 0 ? 0 : (f - 1) % 255 + 1);
        QCOMPARE(quint8(frame[53]), Crc8Lte::compute(frame.constData() + 4, 49));
        QCOMPARE(frame.right(8), QByteArray(8, char(0xFF)));
        const QByteArray block = frame.mid(5, 48);
        const QByteArray expected = image.mid(48 * f, 48);
        QCOMPARE(block.left(expected.size()), expected);
        if (expected.size() < 48) {
            // A short last block keeps the tail of the previous one; a
            // first block carries zeros.
            const QByteArray tail = f == 0 ? QByteArray(48 - expected.size(), '\0')
                                           : adapter.frames[3 * (f - 1)].mid(5 + expected.size(), 48 - expected.size());
            QCOMPARE(block.mid(expected.size()), tail);
        }
    }

    // A refused configuration is said before any frame goes out.
    ScriptedAdapter refusing;
    refusing.configResult = SUB_ERROR_CONFIG;
    probe(m_window).adapterHandle() = handleOf(&refusing);
    QCOMPARE(m_window->irBootRun(), int(SUB_ERROR_CONFIG));
    QVERIFY(refusing.frames.isEmpty());
    QTRY_COMPARE(m_boxes, QStringList({ "SUB-20 sub_ir_config: the adapter refused the configuration" }));

    // A failed transmission ends the run with the same text and its result.
    ScriptedAdapter failing;
    failing.transmitFailsAt = 2;
    probe(m_window).adapterHandle() = handleOf(&failing);
    QCOMPARE(m_window->irBootRun(), int(SUB_ERROR_TRANSMIT));
    QCOMPARE(failing.frames.size(), 2);
    QTRY_COMPARE(m_boxes.last(), QStringLiteral("SUB-20 sub_ir_tx: the transmission failed"));
}

QTEST_MAIN(PadTransfersTest)
#include "tst_padtransfers.moc"
