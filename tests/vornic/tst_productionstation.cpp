// The production station against emulated devices plugged in and out
// while it runs (under umockdev-wrapper): what it writes, what it leaves
// alone, that a device done is never written twice, and its window.
#include "cmndialogprobe.h"
#include "devicebench.h"
#include "historydialog.h"
#include "stationtile.h"
#include "stationwindow.h"
#include "updaterecord.h"
#include "testhistory.h"
#include "testimage.h"
#include "update/productionstation.h"
#include "update/stationport.h"

#include <QLabel>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

using Event = ProductionStation::Event;

EmulatedDfuDevice::Config dongara(const QByteArray &port, int number, const QByteArray &serial, bool bootloader)
{
    EmulatedDfuDevice::Config config;
    config.at(port, number);
    config.productId = bootloader ? 0x8015 : 0x0015;
    config.product = "Dongara NET";
    config.serial = serial;
    config.initialState = bootloader ? EmulatedDfuDevice::DfuIdle : EmulatedDfuDevice::AppIdle;
    return config;
}

// A station that looks at the bus every 50 ms, as hot-plug events would
// have it, and keeps what it told.
class Station
{
public:
    Station()
    {
        QObject::connect(&engine, &ProductionStation::happened, [this](const Event &event) { events << event; });
        QObject::connect(&poll, &QTimer::timeout, [this] { engine.look(); });
        poll.setInterval(50);
    }
    void start(const QString &image, const ProductionStation::Options &options)
    {
        engine.start(FirmwareImage::read(image), options);
        poll.start();
    }
    QStringList said(Event::Kind kind) const
    {
        QStringList ports;
        for (const Event &event : events) {
            if (event.kind == kind)
                ports << event.port;
        }
        return ports;
    }

    ProductionStation engine;
    QVector<Event> events;
    QTimer poll;
};

} // namespace

class ProductionStationTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void arrivals_data();
    void arrivals();
    void neverTwice();
    void pulledOutMidWrite();
    void countReached();
    void window();

private:
    std::unique_ptr<DeviceBench> m_bench;
};

void ProductionStationTest::init()
{
    m_bench.reset(new DeviceBench);
    QVERIFY2(m_bench->isValid(), "run under umockdev-wrapper");
}

void ProductionStationTest::cleanup()
{
    m_bench.reset();
}

// Each device that arrives and that the image fits is written, on its own
// port, whatever else is on the bus; the others are shown and left alone.
void ProductionStationTest::arrivals_data()
{
    QTest::addColumn<bool>("present");           // plugged before the station starts
    QTest::addColumn<bool>("includePresent");
    QTest::addColumn<QString>("mode");           // bootloader, application, serial port
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QByteArray>("product");
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<int>("kind");               // what the station says of each
    const QStringList one { "1-3" };
    const QStringList two { "1-3", "1-5" };
    QTest::newRow("in its bootloader") << false << false << "bootloader" << one << QByteArray("Dongara NET")
                                       << QByteArray("04E2B9C1") << int(Event::Done);
    QTest::newRow("in its application: restarts, written on return")
        << false << false << "application" << one << QByteArray("Dongara NET") << QByteArray("04E2B9C1")
        << int(Event::Done);
    QTest::newRow("on a serial port: told \"boot\", written on return")
        << false << false << "serial port" << one << QByteArray("Dongara") << QByteArray("04E2C3D4") << int(Event::Done);
    QTest::newRow("two at once") << false << false << "bootloader" << two << QByteArray("Dongara NET")
                                 << QByteArray("04E2B9C1") << int(Event::Done);
    QTest::newRow("two at once, in their applications")
        << false << false << "application" << two << QByteArray("Dongara NET") << QByteArray("04E2B9C1")
        << int(Event::Done);
    QTest::newRow("there at start: left alone") << true << false << "bootloader" << two << QByteArray("Dongara NET")
                                                << QByteArray("04E2B9C1") << int(Event::Present);
    QTest::newRow("there at start, taken") << true << true << "bootloader" << one << QByteArray("Dongara NET")
                                           << QByteArray("04E2B9C1") << int(Event::Done);
    QTest::newRow("a model the image does not fit") << false << false << "bootloader" << one << QByteArray("Primora")
                                                    << QByteArray("0500A1B2") << int(Event::Skipped);
    QTest::newRow("no serial number") << false << false << "bootloader" << one << QByteArray("Dongara NET") << QByteArray()
                                      << int(Event::Skipped);
}

void ProductionStationTest::arrivals()
{
    QFETCH(bool, present);
    QFETCH(bool, includePresent);
    QFETCH(QString, mode);
    const bool bootloader = mode == QLatin1String("bootloader");
    QFETCH(QStringList, ports);
    QFETCH(QByteArray, product);
    QFETCH(QByteArray, serial);
    QFETCH(int, kind);
    const QByteArray image = TestImage::bytes(12 * 1024 + 5);
    const QString path = m_bench->storeImage(image, QStringLiteral("DG_STATION.IN2"));
    const auto plug = [&] {
        QVector<EmulatedDfuDevice *> devices;
        for (int i = 0; i < ports.size(); ++i) {
            EmulatedDfuDevice::Config config = dongara(ports.at(i).toLatin1(), 2 + 10 * i,
                                                       serial.isEmpty() ? serial : serial + QByteArray::number(i),
                                                       bootloader);
            config.product = product;
            if (mode == QLatin1String("serial port")) {
                config.deviceClass = 2;
                // Port lock files are shared by every process: a name of this one's own.
                config.ttyName = "ttyACM" + QByteArray::number(9000 + 2 * (QCoreApplication::applicationPid() % 5000) + i);
            }
            config.busyPolls = 2;
            config.canUpload = true;
            devices << m_bench->add(config);
            if (!devices.last())
                return QVector<EmulatedDfuDevice *>();
        }
        return devices;
    };
    QVector<EmulatedDfuDevice *> devices;
    if (present)
        devices = plug();
    Station station;
    ProductionStation::Options options;
    options.includePresent = includePresent;
    options.returnTimeoutMs = 5000;
    station.start(path, options);
    if (!present)
        devices = plug();
    QCOMPARE(devices.size(), ports.size());
    QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Kind(kind)).size(), ports.size(), 15000);
    QTest::qWait(300);
    QVERIFY(station.engine.idle());
    const ProductionStation::Tally tally = station.engine.tally();
    QCOMPARE(tally.failed, 0);
    for (int i = 0; i < ports.size(); ++i) {
        EmulatedDfuDevice *device = devices.at(i);
        if (kind == Event::Done) {
            QCOMPARE(device->downloaded(), image);
            QCOMPARE(device->manifestations(), 1);
            QCOMPARE(device->detachReceived(), mode == QLatin1String("application"));
            QCOMPARE(device->serialReceived(), QByteArray(mode == QLatin1String("serial port") ? "boot\n" : ""));
        } else {
            // Not a single DFU request.
            QCOMPARE(device->downloadRequests(), 0);
            QVERIFY(!device->detachReceived());
        }
    }
    QCOMPARE(tally.done, kind == Event::Done ? ports.size() : 0);
    QCOMPARE(tally.skipped, kind == Event::Skipped ? ports.size() : 0);
    QCOMPARE(station.said(Event::Writing).size(), kind == Event::Done ? ports.size() : 0);
    // One history row per device written, under the station's program,
    // verified by reading back.
    const QVector<UpdateHistory::Entry> rows = TestHistory::rows();
    QCOMPARE(rows.size(), kind == Event::Done ? ports.size() : 0);
    for (const Event &event : qAsConst(station.events)) {
        if (event.kind == Event::Done)
            QCOMPARE(event.outcome.kind(), UpdateOutcome::Verified);
    }
    for (const UpdateHistory::Entry &row : rows) {
        QCOMPARE(row.program, QStringLiteral("vornic"));
        QVERIFY(row.verified);
        QVERIFY2(ports.contains(row.place) || row.place.startsWith(QLatin1String("ttyACM")), qPrintable(row.place));
        QCOMPARE(row.imageSha256, FirmwareImage::read(path).sha256());
    }
    // Each port's tile: the device, and how it ended.
    for (StationPort *port : station.engine.ports())
        QCOMPARE(port->state(), kind == Event::Done ? StationPort::Done : StationPort::Skipped);
    QCOMPARE(station.engine.ports().size(), kind == Event::Present ? 0 : ports.size());
}

// A device done is not written again: not when it comes back after its
// update, nor when plugged in later; with `again`, it is, once its restart
// is surely over. A device that failed is tried again when it comes back.
void ProductionStationTest::neverTwice()
{
    const QByteArray image = TestImage::bytes(4 * 1024);
    const QString path = m_bench->storeImage(image, QStringLiteral("DG_AGAIN.IN2"));
    for (const bool again : { false, true }) {
        Station station;
        ProductionStation::Options options;
        options.again = again;
        options.restartWindowMs = 1500;
        station.start(path, options);
        EmulatedDfuDevice::Config config = dongara("1-3", 2, "04E2B9C1", true);
        EmulatedDfuDevice *device = m_bench->add(config);
        QVERIFY(device);
        QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Done).size(), 1, 10000);
        // Back at once, as after its restart: nothing is said or written.
        m_bench->remove(device);
        device = m_bench->add(config.at("1-3", 3));
        QVERIFY(device);
        QTest::qWait(600);
        QCOMPARE(station.events.size(), 2);
        QCOMPARE(device->downloadRequests(), 0);
        // Plugged in again later.
        m_bench->remove(device);
        QTest::qWait(1500);
        device = m_bench->add(config.at("1-3", 4));
        QVERIFY(device);
        if (again) {
            QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Done).size(), 2, 10000);
            QCOMPARE(device->downloaded(), image);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::AlreadyDone).size(), 1, 5000);
            QTest::qWait(300);
            QCOMPARE(device->downloadRequests(), 0);
            QCOMPARE(station.engine.tally().done, 1);
        }
        m_bench->unplugAll();
    }

    // A failure at block 2; the same device plugged in again is written.
    Station station;
    station.start(path, ProductionStation::Options());
    EmulatedDfuDevice::Config config = dongara("1-3", 2, "04E2B9C1", true);
    config.errorOnBlock = 2;
    EmulatedDfuDevice *device = m_bench->add(config);
    QVERIFY(device);
    QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Failed).size(), 1, 10000);
    QVERIFY(!station.events.last().reason.isEmpty());
    QCOMPARE(station.engine.ports().first()->state(), StationPort::Failed);
    m_bench->remove(device);
    config.errorOnBlock = -1;
    device = m_bench->add(config.at("1-3", 3));
    QVERIFY(device);
    QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Done).size(), 1, 10000);
    QCOMPARE(device->downloaded(), image);
    const ProductionStation::Tally tally = station.engine.tally();
    QCOMPARE(tally.done, 1);
    QCOMPARE(tally.failed, 1);
}

// A device pulled out while it is written fails with the reason; the one
// beside it is written whole, and the station goes on.
void ProductionStationTest::pulledOutMidWrite()
{
    const QByteArray image = TestImage::bytes(64 * 1024);
    const QString path = m_bench->storeImage(image, QStringLiteral("DG_PULLED.IN2"));
    Station station;
    station.start(path, ProductionStation::Options());
    QVector<EmulatedDfuDevice *> devices;
    for (int i = 0; i < 2; ++i) {
        EmulatedDfuDevice::Config config = dongara(i == 0 ? "1-3" : "1-5", 2 + 5 * i, "04E2B9C" + QByteArray::number(i),
                                                   true);
        config.busyPolls = 4;
        // Pulled out at its fifth block, as the kernel shows it: every
        // request fails from then on, and it is gone from the bus.
        if (i == 0) {
            config.fault = EmulatedDfuDevice::Leaves;
            config.faultAtDownload = 5;
            config.unplugWhenLeaving = true;
        }
        devices << m_bench->add(config);
        QVERIFY(devices.last());
    }
    QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Failed), QStringList { "1-3" }, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Done), QStringList { "1-5" }, 15000);
    QCOMPARE(devices.last()->downloaded(), image);
    for (const Event &event : qAsConst(station.events)) {
        if (event.kind == Event::Failed)
            QVERIFY2(event.outcome.kind() == UpdateOutcome::NoDevice, qPrintable(event.outcome.name() + ": " + event.reason));
    }
    QVERIFY(station.engine.running());
    QVERIFY(station.engine.idle());
    // The next device on the port that failed is written.
    EmulatedDfuDevice *next = m_bench->add(dongara("1-3", 12, "04E2B9C7", true));
    QVERIFY(next);
    QTRY_COMPARE_WITH_TIMEOUT(station.said(Event::Done).size(), 2, 15000);
    QCOMPARE(next->downloaded(), image);
}

// Once `count` devices are done no new one is started, and one already
// being written is written whole rather than cut short.
void ProductionStationTest::countReached()
{
    const QByteArray image = TestImage::bytes(32 * 1024);
    const QString path = m_bench->storeImage(image, QStringLiteral("DG_COUNT.IN2"));
    Station station;
    QSignalSpy finished(&station.engine, &ProductionStation::finished);
    ProductionStation::Options options;
    options.count = 1;
    station.start(path, options);
    QVector<EmulatedDfuDevice *> devices;
    for (int i = 0; i < 3; ++i) {
        EmulatedDfuDevice::Config config = dongara(QByteArray("1-") + QByteArray::number(3 + i), 2 + 5 * i,
                                                   "04E2B9C" + QByteArray::number(i), true);
        // The second is slower: still being written when the first is done.
        config.busyPolls = i == 1 ? 6 : 0;
        if (i < 2)
            devices << m_bench->add(config);
        else
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
        if (i == 2)
            devices << m_bench->add(config);
        QVERIFY(devices.last());
    }
    QCOMPARE(station.said(Event::Done).size(), 2);
    QCOMPARE(devices.at(1)->downloaded(), image);
    QTest::qWait(300);
    QCOMPARE(devices.at(2)->downloadRequests(), 0);
    QCOMPARE(station.said(Event::Writing).size(), 2);
}

// The window's station: opened from the main window's menu, it locks the
// main window's update controls while it runs, its tiles follow each
// port's device, and its history shows this run alone.
void ProductionStationTest::window()
{
    const QByteArray image = TestImage::bytes(24 * 1024);
    const QString path = m_bench->storeImage(image, QStringLiteral("DG_WINDOW.IN2"));
    const QString unfit = m_bench->storeImage(image, QStringLiteral("notes.txt"));
    // A row of another program, before the run: not this run's.
    UpdateHistory other(QStringLiteral("vornic"), QStringLiteral("1"), UpdateRecord::settingsFile(QStringLiteral("Vornic")));
    UpdateHistory::Entry earlier;
    QVERIFY(other.begin(&earlier));

    CMNDialog main;
    CMNDialogProbe probe(&main);
    QAction *open = nullptr;
    for (QAction *action : probe.contextMenu().actions()) {
        if (action->text() == QLatin1String("Production Station..."))
            open = action;
    }
    QVERIFY(open);
    open->trigger();
    auto *window = main.findChild<StationWindow *>();
    QVERIFY(window && window->isVisible());
    const auto button = [window](const char *text) {
        for (QPushButton *candidate : window->findChildren<QPushButton *>()) {
            if (candidate->text() == QLatin1String(text))
                return candidate;
        }
        return static_cast<QPushButton *>(nullptr);
    };
    const auto shows = [window](const QString &text) {
        for (const QLabel *label : window->findChildren<QLabel *>()) {
            if (label->text().contains(text))
                return true;
        }
        return false;
    };
    QVERIFY(!window->chooseImage(unfit));
    QVERIFY(!button("Start")->isEnabled());
    QVERIFY(window->chooseImage(path));
    QVERIFY(shows(FirmwareImage::read(path).sha256()));
    QVERIFY(shows(QStringLiteral("It fits: Dongara")));

    // Each state a tile shows, port by port, in order.
    QMap<QString, QStringList> seen;
    connect(window->station(), &ProductionStation::portChanged, this, [&seen, window](StationPort *port) {
        QStringList &states = seen[port->port()];
        const QString state = window->tileFor(port->port())->stateText();
        if (states.isEmpty() || states.last() != state)
            states << state;
    });
    QTest::mouseClick(button("Start"), Qt::LeftButton);
    QVERIFY(window->busy());
    QVERIFY(probe.controlsAre(false));
    QVERIFY(!button("Choose...")->isEnabled());
    EmulatedDfuDevice::Config fits = dongara("1-3", 2, "04E2B9C1", false);
    fits.busyPolls = 2;
    fits.canUpload = true;
    EmulatedDfuDevice *written = m_bench->add(fits);
    EmulatedDfuDevice::Config primora = dongara("1-5", 7, "0500A1B2", true);
    primora.product = "Primora";
    EmulatedDfuDevice *skipped = m_bench->add(primora);
    QVERIFY(written && skipped);
    QTRY_COMPARE_WITH_TIMEOUT(window->tileFor(QStringLiteral("1-3"))->state(), StationPort::Done, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(window->tileFor(QStringLiteral("1-5"))->state(), StationPort::Skipped, 5000);
    QCOMPARE(written->downloaded(), image);
    QCOMPARE(skipped->downloadRequests(), 0);
    QCOMPARE(seen.value(QStringLiteral("1-3")), QStringList({ "Writing", "Verifying", "Done" }));
    QVERIFY(shows(QStringLiteral("Done 1    Failed 0    Skipped 1    Writing 0")));
    // Meanwhile the main window started nothing and listed nothing.
    main.onUpdBtnClicked();
    QVERIFY(!probe.updateOwner()->inProgress());

    QTest::mouseClick(button("History..."), Qt::LeftButton);
    auto *history = window->findChild<HistoryDialog *>();
    QVERIFY(history);
    QTRY_VERIFY(history->isLoaded());
    const QAbstractItemModel *rows = history->findChild<QTableView *>()->model();
    QCOMPARE(rows->rowCount(), 1);
    QVERIFY(TestHistory::rows().size() == 2);

    // Stopped while a device is written: its download is aborted after its
    // block, the main window's controls come back, and nothing more is
    // written.
    EmulatedDfuDevice::Config slowConfig = dongara("1-6", 8, "04E2B9C6", true);
    slowConfig.busyPolls = 6;
    EmulatedDfuDevice *slow = m_bench->add(slowConfig);
    QVERIFY(slow);
    QTRY_VERIFY_WITH_TIMEOUT(slow->downloadRequests() >= 3, 10000);
    QTest::mouseClick(button("Stop"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->busy(), 10000);
    QCOMPARE(window->tileFor(QStringLiteral("1-6"))->state(), StationPort::Failed);
    // Aborted after its last block (the main window lists it afterwards).
    const QVector<EmulatedDfuDevice::Request> requests = slow->requests();
    int lastBlock = -1;
    for (int i = 0; i < requests.size(); ++i) {
        if (requests.at(i).request == 1)
            lastBlock = i;
    }
    bool aborted = false;
    for (int i = lastBlock + 1; i < requests.size(); ++i)
        aborted = aborted || requests.at(i).request == 6;
    QVERIFY(lastBlock >= 0 && aborted);
    QCOMPARE(slow->manifestations(), 0);
    QVERIFY(probe.controlsAre(true));
    QVERIFY(button("Start")->isEnabled());
    EmulatedDfuDevice *after = m_bench->add(dongara("1-7", 9, "04E2B9C9", true));
    QVERIFY(after);
    QTest::qWait(1500);
    QCOMPARE(after->downloadRequests(), 0);

    // An update of the main window's own holds the station's Start.
    QSemaphore release;
    probe.holdUsbJob(release);
    probe.setUpdateControlsEnabled(false);
    QVERIFY(!button("Start")->isEnabled());
    release.release();
    QTRY_VERIFY(button("Start")->isEnabled());
}

QTEST_MAIN(ProductionStationTest)
#include "tst_productionstation.moc"
