// The DFU engine against emulated devices (runs under umockdev-wrapper),
// without the window: requests on the bus, signals, results, bytes received.
#include "testimage.h"
#include "usb/dfuengine.h"
#include "usb/dfuprotocol.h"

#include "emitter.h"
#include "emulateddfudevice.h"
#include "usbtestbed.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <libusb.h>

#include <atomic>
#include <limits>
#include <memory>
#include <thread>

namespace {

const quint8 dnload = 1;
const quint8 getStatus = 3;
const quint8 clrStatus = 4;
const quint8 abortRequest = 6;

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 0x2545F491u + quint32(size);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

QVector<EmulatedDfuDevice::Request> requestsOf(const EmulatedDfuDevice &device, quint8 request)
{
    QVector<EmulatedDfuDevice::Request> found;
    for (const auto &r : device.requests()) {
        if ((r.requestType == 0x21 || r.requestType == 0xA1) && r.request == request)
            found.append(r);
    }
    return found;
}

// A download that did not get the whole image across ends with DFU_ABORT,
// never with the zero-length request that would declare it complete.
// One that the device refused with dfuERROR ends with DFU_CLRSTATUS instead,
// the only request that leaves that state.
bool endsWith(const EmulatedDfuDevice &device, quint8 request)
{
    const auto all = device.requests();
    for (const auto &r : all) {
        if (r.requestType == 0x21 && r.request == dnload && r.length == 0)
            return false;
    }
    return !all.isEmpty() && all.last().requestType == 0x21 && all.last().request == request;
}

bool endsWithAbort(const EmulatedDfuDevice &device)
{
    return endsWith(device, abortRequest);
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList list;
    for (const auto &arguments : spy)
        list << arguments.at(0).toString();
    return list;
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> list;
    for (const auto &arguments : spy)
        list << arguments.at(0).toInt();
    return list;
}

} // namespace

// One emulated device on the bus, a libusb context that sees it, an engine
// and the signals it sends.
class Bench
{
public:
    explicit Bench(const EmulatedDfuDevice::Config &config)
        : device(config)
        , engine(&emitter)
        , errors(&emitter, &Emitter::errorSignal)
        , starts(&emitter, &Emitter::load_start)
        , progress(&emitter, &Emitter::load_progress)
    {
        if (!testbed.isValid() || device.plug(testbed).isEmpty())
            return;
        if (libusb_init(&context) != 0) {
            context = nullptr;
            return;
        }
        usbDevice = EmulatedDfuDevice::findOnBus(context);
    }

    ~Bench()
    {
        if (handle) {
            libusb_release_interface(handle, 0);
            libusb_close(handle);
        }
        if (usbDevice)
            libusb_unref_device(usbDevice);
        if (context)
            libusb_exit(context);
    }

    bool isReady() const { return usbDevice != nullptr; }

    QString writeImage(const QByteArray &bytes)
    {
        return TestImage::store(dir.path(), QStringLiteral("PR_TEST.INC"), bytes);
    }

    // Opens the device the way a run does, for calling download() alone.
    bool openInterface(DfuInterface &dfu)
    {
        dfu.device = usbDevice;
        if (findFirstDfuInterface(dfu) != 1 || libusb_open(usbDevice, &handle) != 0)
            return false;
        dfu.handle = handle;
        return libusb_claim_interface(handle, dfu.interface) == 0;
    }

    UsbTestbed testbed;
    EmulatedDfuDevice device;
    Emitter emitter;
    DfuEngine engine;
    QSignalSpy errors;
    QSignalSpy starts;
    QSignalSpy progress;
    QTemporaryDir dir;
    libusb_context *context = nullptr;
    libusb_device *usbDevice = nullptr;
    libusb_device_handle *handle = nullptr;
};

class DfuEngineTest : public QObject
{
    Q_OBJECT
private slots:
    // Must run first: the time limit is process-wide and cannot be unset.
    void requestsNeedATimeLimit();
    void init();

    void download_data();
    void download();
    void busyDeviceIsPolledEvery10ms();
    void deviceFaults_data();
    void deviceFaults();
    void imageTooLargeForTheBlockCounter();
    void transferCutShort_data();
    void transferCutShort();
    void announcedPollTimeout_data();
    void announcedPollTimeout();
    void stopDuringALongPoll();
    void dfuInterfaceElsewhere();
    void refusedBeforeAnyBlock_data();
    void refusedBeforeAnyBlock();
    void deviceStateIsReported_data();
    void deviceStateIsReported();
    void applicationModeIsDetachedOnce();
    void readBack_data();
    void readBack();
    void read_data();
    void read();
};

void DfuEngineTest::requestsNeedATimeLimit()
{
    EmulatedDfuDevice::Config config;
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    QCOMPARE(dfuRequestTimeout(), 0);

    libusb_device_handle *handle = nullptr;
    QCOMPARE(libusb_open(bench.usbDevice, &handle), 0);
    const int before = bench.device.requests().size();
    DfuStatus status;
    status.bState = 0;
    QCOMPARE(dfuGetStatus(handle, 0, status), -1);
    QCOMPARE(int(status.bState), int(DfuStateError));
    QCOMPARE(int(status.bStatus), 14);
    QCOMPARE(dfuDetach(handle, 0, 1000), -1);
    QCOMPARE(bench.device.requests().size(), before);

    dfuInit(0);
    dfuInit(-5);
    QCOMPARE(dfuRequestTimeout(), 0);
    dfuInit(5000);
    QCOMPARE(dfuRequestTimeout(), 5000);
    QCOMPARE(dfuGetStatus(handle, 0, status), 6);
    QCOMPARE(int(status.bState), int(DfuStateDfuIdle));
    QCOMPARE(int(status.bStatus), 0);
    libusb_close(handle);
}

void DfuEngineTest::init()
{
    if (qstrcmp(QTest::currentTestFunction(), "requestsNeedATimeLimit") != 0)
        dfuInit(5000);
}

void DfuEngineTest::download_data()
{
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<int>("transferSize");
    QTest::addColumn<QList<int>>("blocks");
    QTest::addColumn<int>("total");
    QTest::addColumn<QList<int>>("progress");

    QTest::newRow("2500 at 1024") << 2500 << 1024 << QList<int>{ 1024, 1024, 452 } << 2 << QList<int>{ 1, 2 };
    QTest::newRow("2048 at 1024") << 2048 << 1024 << QList<int>{ 1024, 1024 } << 2 << QList<int>{ 1, 2 };
    QTest::newRow("100 at 1024") << 100 << 1024 << QList<int>{ 100 } << 0 << QList<int>{ 0 };
    QTest::newRow("9000 at 1000") << 9000 << 1000 << QVector<int>(9, 1000).toList() << 9 << QList<int>{ 1, 3, 5, 7, 9 };
    QTest::newRow("1 at 4096") << 1 << 4096 << QList<int>{ 1 } << 0 << QList<int>{ 0 };
}

void DfuEngineTest::download()
{
    QFETCH(int, fileSize);
    QFETCH(int, transferSize);
    QFETCH(QList<int>, blocks);
    QFETCH(int, total);
    QFETCH(QList<int>, progress);

    EmulatedDfuDevice::Config config;
    config.transferSize = quint16(transferSize);
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QByteArray image = randomBytes(fileSize);
    bench.engine.setDetachIssued(true);

    QCOMPARE(bench.engine.update(bench.usbDevice, bench.writeImage(image)), 0);

    const auto dnloads = requestsOf(bench.device, dnload);
    QCOMPARE(dnloads.size(), blocks.size() + 1);
    for (int i = 0; i < blocks.size(); ++i) {
        QCOMPARE(int(dnloads[i].value), i);
        QCOMPARE(int(dnloads[i].length), blocks[i]);
        QCOMPARE(int(dnloads[i].index), 0);
    }
    QCOMPARE(int(dnloads.last().value), blocks.size());
    QCOMPARE(int(dnloads.last().length), 0);
    QCOMPARE(bench.device.downloaded(), image);

    QCOMPARE(bench.starts.size(), 1);
    QCOMPARE(bench.starts.at(0).at(0).toInt(), 0);
    QCOMPARE(bench.starts.at(0).at(1).toInt(), total);
    QCOMPARE(values(bench.progress), progress);
    QVERIFY(bench.errors.isEmpty());
    QVERIFY(!bench.engine.detach().issued);
    // The final zero-length request is followed by status requests until
    // the device has made the image its firmware.
    QCOMPARE(bench.device.requests().last().request, getStatus);
    QCOMPARE(bench.device.manifestations(), 1);
}

void DfuEngineTest::busyDeviceIsPolledEvery10ms()
{
    EmulatedDfuDevice::Config config;
    config.busyPolls = 4;
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QByteArray image = randomBytes(3000);

    QCOMPARE(bench.engine.update(bench.usbDevice, bench.writeImage(image)), 0);
    QCOMPARE(bench.device.downloaded(), image);

    // Per block: four dfuDNBUSY answers, then dfuDNLOAD-IDLE.
    const auto all = bench.device.requests();
    int blocksSeen = 0;
    for (int i = 0; i < all.size(); ++i) {
        if (all[i].request != dnload || all[i].length == 0)
            continue;
        ++blocksSeen;
        QVector<qint64> polls;
        for (int j = i + 1; j < all.size() && all[j].request == getStatus; ++j)
            polls.append(all[j].time);
        QCOMPARE(polls.size(), 5);
        for (int k = 1; k < polls.size(); ++k)
            QVERIFY2(polls[k] - polls[k - 1] >= 9, qPrintable(QString::number(polls[k] - polls[k - 1])));
    }
    QCOMPARE(blocksSeen, 3);
}

// A device that fails in the middle of a run: the run ends with the reason,
// no more blocks go out, and the device is left idle (DFU_ABORT), or, in
// dfuERROR, where DFU 1.1 refuses an abort, cleared (DFU_CLRSTATUS).
void DfuEngineTest::deviceFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("whole");            // the whole run, or the download alone
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("dnloads");
    QTest::addColumn<QString>("ending");        // abort, clear, or nothing sent
    QTest::newRow("busy for ever") << "busy" << true << 2500 << int(LIBUSB_ERROR_TIMEOUT)
                                   << QStringList { "Error timeout.", "Download error!" } << 1 << "abort";
    QTest::newRow("dfuERROR after block 1") << "error" << true << 4000 << -14 << QStringList { "Download error!" }
                                            << 2 << "clear";
    // A short reply to the first status request of a run is a device in an
    // unknown state (deviceStateIsReported): the download alone here.
    QTest::newRow("short status reply") << "short" << false << 2500 << -14 << QStringList() << 1 << "abort";
    QTest::newRow("status stalls while polling") << "stall" << false << 2500 << int(LIBUSB_ERROR_PIPE)
                                                 << QStringList { "Error timeout." } << 1 << "abort";
    QTest::newRow("status stalls from the start") << "stall" << true << 100 << int(LIBUSB_ERROR_PIPE)
                                                  << QStringList { "The USB device does not answer DFU requests: Pipe error" }
                                                  << 0 << "";
}

void DfuEngineTest::deviceFaults()
{
    QFETCH(QString, fault);
    QFETCH(bool, whole);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QStringList, errors);
    QFETCH(int, dnloads);
    QFETCH(QString, ending);
    EmulatedDfuDevice::Config config;
    config.busyForever = fault == QLatin1String("busy");
    config.errorOnBlock = fault == QLatin1String("error") ? 1 : -1;
    config.shortStatusReply = fault == QLatin1String("short");
    config.stallStatus = fault == QLatin1String("stall");
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    // A short busy limit keeps the test quick.
    bench.engine.setBusyLimit(300);
    DfuInterface dfu;
    QVERIFY(whole || bench.openInterface(dfu));

    QElapsedTimer timer;
    timer.start();
    const QString path = bench.writeImage(randomBytes(size));
    QCOMPARE(whole ? bench.engine.update(bench.usbDevice, path) : bench.engine.download(path, dfu, 1024), result);
    QVERIFY2(fault != QLatin1String("busy") || (timer.elapsed() >= 250 && timer.elapsed() < 3000),
             qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(texts(bench.errors), errors);
    const auto sent = requestsOf(bench.device, dnload);
    QCOMPARE(sent.size(), dnloads);
    QVERIFY(sent.isEmpty() || int(sent.last().value) == dnloads - 1);
    QVERIFY(values(bench.progress).isEmpty());
    QCOMPARE(endsWithAbort(bench.device), ending == QLatin1String("abort"));
    if (ending == QLatin1String("clear")) {
        QVERIFY(endsWith(bench.device, clrStatus));
        QVERIFY(requestsOf(bench.device, abortRequest).isEmpty());
        QCOMPARE(bench.device.state(), EmulatedDfuDevice::DfuIdle);
    }
    // A device that answers its status short is asked once, not again.
    if (fault == QLatin1String("short"))
        QCOMPARE(requestsOf(bench.device, getStatus).size(), 1);
}

// Blocks are counted in 16 bits: an image that needs more is refused
// before a block goes out, one that needs exactly that many is not.
void DfuEngineTest::imageTooLargeForTheBlockCounter()
{
    EmulatedDfuDevice::Config config;
    config.transferSize = 8;
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    DfuInterface dfu;
    QVERIFY(bench.openInterface(dfu));
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("PR_BIG.INC")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(8 * 0xFFFF + 1));
    file.close();

    QCOMPARE(bench.engine.download(file.fileName(), dfu, 8), -1);
    QVERIFY(requestsOf(bench.device, dnload).isEmpty());
    const QString said = texts(bench.errors).value(0);
    QVERIFY2(said.contains(QLatin1String("too large")), qPrintable(said));
}

void DfuEngineTest::transferCutShort_data()
{
    QTest::addColumn<int>("shortBlock");
    QTest::addColumn<int>("imageChange");           // at block 0: 0 none, 1 cut to nothing, 2 overwritten in place
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("errors");
    QTest::newRow("device takes half of block 1") << 1 << 0 << -14 << QStringList{ "Bad address.", "Download error!" };
    // The image goes out as it was read when the download began, whole.
    QTest::newRow("image shrinks while sent") << -1 << 1 << 0 << QStringList();
    QTest::newRow("image overwritten while sent") << -1 << 2 << 0 << QStringList();
}

void DfuEngineTest::transferCutShort()
{
    QFETCH(int, shortBlock);
    QFETCH(int, imageChange);
    QFETCH(int, result);
    QFETCH(QStringList, errors);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("PR_SHRINKS.INC"));
    EmulatedDfuDevice::Config config;
    config.shortBlock = shortBlock;
    config.onBlock = [path, imageChange](int block) {
        QFile file(path);
        if (block == 0 && imageChange != 0 && file.open(QIODevice::ReadWrite))
            imageChange == 1 ? file.resize(0) : file.write(QByteArray(int(file.size()), 'n'));
    };
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QByteArray image = randomBytes(64 * 1024);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();

    QCOMPARE(bench.engine.update(bench.usbDevice, path), result);
    QCOMPARE(texts(bench.errors), errors);
    const int blocks = requestsOf(bench.device, dnload).size();
    if (result == 0) {
        QCOMPARE(bench.device.downloaded(), image);
    } else {
        QCOMPARE(blocks, 2);
        QVERIFY(endsWithAbort(bench.device));
    }
}

void DfuEngineTest::announcedPollTimeout_data()
{
    QTest::addColumn<int>("pollTimeout");
    QTest::addColumn<int>("busyPolls");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("longestMs");
    QTest::addColumn<int>("limitMs");               // the request time limit
    // With a request limit of 200 ms: a device that asks for 150 ms between
    // requests is left alone that long each time and waited for past the
    // limit; one that asks for nothing is polled every 10 ms, as long as it
    // answers; one that asks for hours is given up on at once. One that
    // asks for 3 ms is asked again after 3 ms, not 10: told by the spacing
    // of its polls (under a limit no load reaches, not by the total time).
    QTest::newRow("busy within what it announced") << 150 << 3 << 0 << 2000 << 200;
    QTest::newRow("asks for less than 10 ms") << 3 << 40 << 0 << 10000 << 5000;
    // Busy for 8 s, answering every request: not silent, and waited for.
    QTest::newRow("busy 8 s, nothing announced") << 0 << 800 << 0 << 20000 << 5000;
    QTest::newRow("asks for hours") << 0xFFFFFF << 3 << int(LIBUSB_ERROR_TIMEOUT) << 1000 << 200;
}

void DfuEngineTest::announcedPollTimeout()
{
    QFETCH(int, pollTimeout);
    QFETCH(int, busyPolls);
    QFETCH(int, result);
    QFETCH(int, longestMs);
    QFETCH(int, limitMs);
    EmulatedDfuDevice::Config config;
    config.busyPolls = busyPolls;
    config.pollTimeout = quint32(pollTimeout);
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    dfuInit(limitMs);
    const QByteArray image = randomBytes(1000);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(bench.engine.update(bench.usbDevice, bench.writeImage(image)), result);
    QVERIFY2(timer.elapsed() < longestMs, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(bench.device.downloaded(), image);
    QCOMPARE(bench.errors.isEmpty(), result == 0);
    QCOMPARE(endsWithAbort(bench.device), result != 0);
    // Never asked again sooner than it asked to be while it works on the
    // block (the last request asks after the end of the image).
    const auto polls = requestsOf(bench.device, getStatus);
    qint64 closest = std::numeric_limits<qint64>::max();
    for (int i = 2; i + 1 < polls.size(); ++i) {
        QVERIFY2(polls[i].time - polls[i - 1].time >= qMin(pollTimeout, 150) - 1,
                 qPrintable(QString::number(polls[i].time - polls[i - 1].time)));
        closest = qMin(closest, polls[i].time - polls[i - 1].time);
    }
    // Nor later than it asked (a 10 ms floor would show in every gap).
    if (pollTimeout > 0 && pollTimeout < 10)
        QVERIFY2(closest < 9, qPrintable(QString::number(closest)));
}

// Stopping while a device that asked for a long pause works on a block
// ends the wait at once, with DFU_ABORT.
void DfuEngineTest::stopDuringALongPoll()
{
    EmulatedDfuDevice::Config config;
    config.busyPolls = 2;
    config.pollTimeout = 3000;
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    std::atomic<bool> stop { false };
    bench.engine.setStopFlag(&stop);
    const QString path = bench.writeImage(randomBytes(3000));

    QElapsedTimer timer;
    timer.start();
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const int result = bench.engine.update(bench.usbDevice, path);
    stopper.join();
    QCOMPARE(result, DfuEngine::interrupted);
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(requestsOf(bench.device, dnload).size(), 1);
    QVERIFY(endsWithAbort(bench.device));
    QCOMPARE(bench.device.state(), EmulatedDfuDevice::DfuIdle);
    QVERIFY(texts(bench.errors).value(0).startsWith(QLatin1String("Stopped after 0 of 3000 bytes")));
}

void DfuEngineTest::dfuInterfaceElsewhere()
{
    EmulatedDfuDevice::Config config;
    config.interfaceNumber = 1;
    config.configurationValue = 3;
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QByteArray image = randomBytes(2500);

    DfuInterface dfu;
    dfu.device = bench.usbDevice;
    QCOMPARE(findFirstDfuInterface(dfu), 1);
    QCOMPARE(int(dfu.configuration), 3);
    QCOMPARE(int(dfu.interface), 1);

    // The transfer size comes from the functional descriptor of that
    // configuration and interface; every request names the interface.
    QCOMPARE(bench.engine.update(bench.usbDevice, bench.writeImage(image)), 0);
    QCOMPARE(bench.device.downloaded(), image);
    QCOMPARE(requestsOf(bench.device, dnload).size(), 4);
    for (const auto &r : bench.device.requests()) {
        if (r.requestType == 0x21 || r.requestType == 0xA1)
            QCOMPARE(int(r.index), 1);
    }
}

// Whatever stops a run before its first block (an image that cannot be
// read or is empty, a device that names no usable transfer size): nothing
// goes out (a zero-length request would even put the device into
// dfuERROR), and the reason is given, then "Download error!".
void DfuEngineTest::refusedBeforeAnyBlock_data()
{
    QTest::addColumn<QString>("name");              // the image; "" the bench's folder
    QTest::addColumn<bool>("hasDescriptor");
    QTest::addColumn<int>("transferSize");
    QTest::addColumn<QString>("reason");
    QTest::newRow("image missing") << "NO_SUCH.INC" << true << 1024 << QString::fromLocal8Bit(strerror(ENOENT));
    QTest::newRow("image is a folder") << "" << true << 1024 << QString::fromLocal8Bit(strerror(EISDIR));
    QTest::newRow("image empty") << "<empty>" << true << 1024 << "empty";
    // (The image does not exist: a run that got as far as the file would
    // say so.)
    QTest::newRow("no functional descriptor") << "NOT_THERE.INC" << false << 0 << "transfer size";
    QTest::newRow("transfer size 0") << "NOT_THERE.INC" << true << 0 << "transfer size";
}

void DfuEngineTest::refusedBeforeAnyBlock()
{
    QFETCH(QString, name);
    QFETCH(bool, hasDescriptor);
    QFETCH(int, transferSize);
    QFETCH(QString, reason);
    EmulatedDfuDevice::Config config;
    config.hasFunctionalDescriptor = hasDescriptor;
    config.transferSize = quint16(transferSize);
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QString path = name == QLatin1String("<empty>") ? bench.writeImage(QByteArray())
        : name.isEmpty()                                   ? bench.dir.path()
                                                           : bench.dir.filePath(name);

    const int result = bench.engine.update(bench.usbDevice, path);
    QVERIFY2(result < 0 && (name != QLatin1String("<empty>") || result == -1), qPrintable(QString::number(result)));
    QVERIFY(requestsOf(bench.device, dnload).isEmpty());
    QCOMPARE(bench.device.state(), EmulatedDfuDevice::DfuIdle);
    const QStringList errors = texts(bench.errors);
    QCOMPARE(errors.size(), 2);
    QVERIFY2(errors[0].contains(reason) && (transferSize == 0 || errors[0].contains(path)), qPrintable(errors[0]));
    QCOMPARE(errors[1], QStringLiteral("Download error!"));
    if (transferSize)
        QCOMPARE(FirmwareImage::read(path).problem(), errors[0]);
    QVERIFY(bench.starts.isEmpty());
}

void DfuEngineTest::deviceStateIsReported_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("shortReply");
    QTest::addColumn<QString>("named");
    QTest::addColumn<bool>("forgetsDetach");
    QTest::newRow("dfuERROR") << int(EmulatedDfuDevice::DfuError) << false << "dfuERROR, status 3" << true;
    QTest::newRow("short first reply") << int(EmulatedDfuDevice::DfuIdle) << true << "dfuERROR, status 14" << true;
    QTest::newRow("dfuDNLOAD-IDLE") << int(EmulatedDfuDevice::DfuDnloadIdle) << false << "dfuDNLOAD-IDLE (5)"
                                    << false;
    QTest::newRow("dfuMANIFEST-WAIT-RESET") << int(EmulatedDfuDevice::DfuManifestWaitReset) << false
                                           << "dfuMANIFEST-WAIT-RESET (8)" << false;
}

void DfuEngineTest::deviceStateIsReported()
{
    QFETCH(int, state);
    QFETCH(bool, shortReply);
    QFETCH(QString, named);
    QFETCH(bool, forgetsDetach);
    EmulatedDfuDevice::Config config;
    config.initialState = EmulatedDfuDevice::State(state);
    config.shortStatusReply = shortReply;
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    bench.engine.setDetachIssued(true);

    QVERIFY(bench.engine.update(bench.usbDevice, bench.writeImage(randomBytes(100))) < 0);
    const QStringList errors = texts(bench.errors);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].contains(named), qPrintable(errors[0]));
    QVERIFY(requestsOf(bench.device, dnload).isEmpty());
    QVERIFY(requestsOf(bench.device, clrStatus).isEmpty());
    // Only an error report forgets an earlier DETACH.
    QCOMPARE(bench.engine.detach().issued, !forgetsDetach);
}

void DfuEngineTest::applicationModeIsDetachedOnce()
{
    EmulatedDfuDevice::Config config;
    config.productId = 0x0001;
    config.port = "1-4";
    config.initialState = EmulatedDfuDevice::AppIdle;
    config.detachDelay = -1;                 // stays on the bus
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QString image = bench.writeImage(randomBytes(100));

    QCOMPARE(bench.engine.update(bench.usbDevice, image), 0);
    QVERIFY(bench.device.detachReceived());
    auto detaches = requestsOf(bench.device, 0);
    QCOMPARE(detaches.size(), 1);
    QCOMPARE(int(detaches[0].value), 1000);
    QVERIFY(bench.engine.detach().awaited);
    QVERIFY(bench.engine.detach().issued);
    QCOMPARE(bench.engine.detach().busNumber, 1);
    QCOMPARE(bench.engine.detach().portNumber, 4);

    // Still there before re-enumerating: recorded again, not detached again,
    // and still awaited (nothing was written).
    QCOMPARE(bench.engine.update(bench.usbDevice, image), 6);
    QCOMPARE(requestsOf(bench.device, 0).size(), 1);
    QCOMPARE(bench.engine.detach().busNumber, 1);
    QCOMPARE(bench.engine.detach().portNumber, 4);
    QVERIFY(bench.engine.detach().awaited);
    QVERIFY(bench.errors.isEmpty());
    QVERIFY(requestsOf(bench.device, dnload).isEmpty());

    // As the second phase of an update: a device in its application there
    // was not restarted; it is told nothing, and the run fails.
    bench.engine.setDetachAllowed(false);
    QCOMPARE(bench.engine.update(bench.usbDevice, image), DfuEngine::notInBootloader);
    QCOMPARE(requestsOf(bench.device, 0).size(), 1);
    QVERIFY(requestsOf(bench.device, dnload).isEmpty());
    QVERIFY(!bench.engine.detach().awaited);
    QCOMPARE(texts(bench.errors), QStringList({ "The device came back in its application, not in its bootloader; "
                                                "nothing was written." }));
}

void DfuEngineTest::readBack_data()
{
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<bool>("canUpload");
    QTest::addColumn<int>("corruptAt");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("verification");
    QTest::addColumn<int>("uploads");           // DFU_UPLOAD requests
    QTest::addColumn<QString>("says");
    QTest::addColumn<int>("endFault");          // at the request that ends the image
    const int verified = DfuEngine::Verified;
    const int differs = DfuEngine::Differs;
    const int differsCode = DfuEngine::imageDiffers;
    // Blocks of 1024: a short last block ends the device's image by itself;
    // after whole blocks the engine stops reading and aborts the upload.
    QTest::newRow("2500 bytes, read back") << 2500 << true << -1 << 0 << verified << 3 << "" << 0;
    QTest::newRow("2048 bytes, read back") << 2048 << true << -1 << 0 << verified << 2 << "" << 0;
    QTest::newRow("first byte differs") << 2500 << true << 0 << differsCode << differs << 1
                                        << "the byte at offset 0 (of 2500)" << 0;
    QTest::newRow("a byte of the second block differs") << 2500 << true << 1500 << differsCode << differs << 2
                                                        << "the byte at offset 1500 (of 2500)" << 0;
    QTest::newRow("the last byte differs") << 2048 << true << 2047 << differsCode << differs << 2
                                           << "the byte at offset 2047 (of 2048)" << 0;
    QTest::newRow("cannot upload") << 2500 << false << -1 << 0 << int(DfuEngine::NotVerifiable) << 0
                                   << "the device cannot read its image back" << 0;
    // A device that announces neither manifestation tolerance nor that it
    // detaches, takes the end of the image and restarts at once (before or
    // after its answer): written, not confirmed, and never read back.
    const int unconfirmed = DfuEngine::Unconfirmed;
    const char *restarted = "the device restarted without confirming";
    for (const int fault : { int(EmulatedDfuDevice::LeavesAfter), int(EmulatedDfuDevice::Leaves),
                             int(EmulatedDfuDevice::ResetsInStatus) })
        QTest::newRow(fault == EmulatedDfuDevice::Leaves           ? "restarts while it answers the end"
                      : fault == EmulatedDfuDevice::ResetsInStatus ? "resets in the end's status stage"
                                                                   : "restarts after the end")
            << 2500 << true << -1 << 0 << unconfirmed << 0 << restarted << fault;
    // Its first status request after the end fails as it restarts, or goes
    // unanswered: written, not confirmed. Only a STALL of the end is a refusal.
    QTest::newRow("first status after the end fails") << 2500 << true << -1 << 0 << unconfirmed << 0
        << "did not answer after the end of the image (Input/Output Error)" << int(EmulatedDfuDevice::StatusIoError);
    QTest::newRow("first status after the end times out") << 2500 << true << -1 << 0 << unconfirmed << 0
        << "did not answer after the end of the image (Operation timed out)" << int(EmulatedDfuDevice::GoesSilent);
    QTest::newRow("end stalled") << 2500 << true << -1 << -14 << int(DfuEngine::NotAsked) << 0
        << "did not accept the end of the image (Pipe error); it does not hold it." << int(EmulatedDfuDevice::Stalls);
}

// With verification on, what the device made its firmware is read back and
// compared; only a whole, equal image is "verified", and the device is left
// in dfuIDLE.
void DfuEngineTest::readBack()
{
    QFETCH(int, fileSize);
    QFETCH(bool, canUpload);
    QFETCH(int, corruptAt);
    QFETCH(int, result);
    QFETCH(int, verification);
    QFETCH(int, uploads);
    QFETCH(QString, says);
    QFETCH(int, endFault);
    EmulatedDfuDevice::Config config;
    config.canUpload = canUpload;
    config.corruptUploadAt = corruptAt;
    if (endFault != EmulatedDfuDevice::NoFault) {
        config.attributes = 0x01;
        config.fault = EmulatedDfuDevice::Fault(endFault);
        config.faultAtDownload = (fileSize + 1023) / 1024 + 1;
    }
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    const QByteArray image = randomBytes(fileSize);
    bench.engine.setVerify(true);

    QCOMPARE(bench.engine.update(bench.usbDevice, bench.writeImage(image)), result);
    QCOMPARE(int(bench.engine.verification()), verification);
    QCOMPARE(bench.device.uploadRequests(), uploads);
    QCOMPARE(bench.device.downloaded(), image);
    if (endFault == EmulatedDfuDevice::NoFault) {
        QCOMPARE(bench.device.manifestations(), 1);
        QCOMPARE(bench.device.state(), EmulatedDfuDevice::DfuIdle);
    }
    // The bar ends full on every written image.
    if (result == 0)
        QCOMPARE(values(bench.progress).value(values(bench.progress).size() - 1), 2);
    const QString said = texts(bench.errors).join(QLatin1Char('|')) + bench.engine.verificationText();
    QVERIFY2(says.isEmpty() ? said.isEmpty() : said.contains(says), qPrintable(said));
    // Each request asks for a whole block, numbered from 0.
    const auto requests = requestsOf(bench.device, 2);
    for (int i = 0; i < requests.size(); ++i)
        QVERIFY(requests[i].value == i && requests[i].length == 1024);
}

// Reading a device: DFU_UPLOAD block after block until the device ends
// its image with a shorter block; what cannot be read whole is no image.
void DfuEngineTest::read_data()
{
    QTest::addColumn<int>("holds");             // bytes the device holds
    QTest::addColumn<bool>("canUpload");
    QTest::addColumn<int>("limit");             // the read limit; 0: the default
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("uploads");           // DFU_UPLOAD requests
    QTest::addColumn<QString>("says");
    QTest::newRow("a short last block") << 2500 << true << 0 << 0 << 3 << "";
    // Whole blocks: a zero-length block ends the image.
    QTest::newRow("on a block boundary") << 2048 << true << 0 << 0 << 3 << "";
    QTest::newRow("holds nothing") << 0 << true << 0 << 0 << 1 << "";
    QTest::newRow("no upload capability") << 2500 << false << 0 << int(DfuEngine::unreadable) << 0
                                          << "The device cannot be read: its DFU descriptor does not offer upload.";
    QTest::newRow("more than the limit") << 5000 << true << 4096 << int(DfuEngine::readTooLong) << 5
                                         << "without ending its image; it was not read.";
    QTest::newRow("exactly the limit") << 4096 << true << 4096 << 0 << 5 << "";
}

void DfuEngineTest::read()
{
    QFETCH(int, holds);
    QFETCH(bool, canUpload);
    QFETCH(int, limit);
    QFETCH(int, result);
    QFETCH(int, uploads);
    QFETCH(QString, says);
    EmulatedDfuDevice::Config config;
    config.canUpload = canUpload;
    config.holds = randomBytes(holds);
    Bench bench(config);
    QVERIFY2(bench.isReady(), "run under umockdev-wrapper");
    QByteArray firmware("left over");
    bench.engine.setReadInto(&firmware);
    if (limit > 0)
        bench.engine.setReadLimit(limit);
    QCOMPARE(bench.engine.update(bench.usbDevice, QString()), result);
    QCOMPARE(firmware, result == 0 ? config.holds : QByteArray());
    QCOMPARE(bench.device.uploadRequests(), uploads);
    // Nothing is ever written by a read.
    QCOMPARE(bench.device.downloadRequests(), 0);
    QCOMPARE(bench.device.downloaded(), config.holds);
    QVERIFY2(says.isEmpty() ? bench.errors.isEmpty() : bench.errors.last().at(0).toString().contains(says),
             qPrintable(bench.errors.isEmpty() ? QString() : bench.errors.last().at(0).toString()));
    // Left in dfuIDLE: ended by its short block, or aborted.
    QCOMPARE(bench.device.state(), EmulatedDfuDevice::DfuIdle);
}

QTEST_GUILESS_MAIN(DfuEngineTest)
#include "tst_dfuengine.moc"
