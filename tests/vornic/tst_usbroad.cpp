// The USB road through the window, against emulated devices (runs under
// umockdev-wrapper): "Update Firmware" on a bootloader row, the two-phase
// update of a device in its application, and the return of a device that
// was sent into its bootloader.
#include "testimage.h"
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "backupstore.h"
#include "devicebench.h"
#include "firmwareimage.h"
#include "interruptsignal.h"
#include "usb/dfuengine.h"
#include "historydialog.h"
#include "historyreport.h"
#include "modaldriver.h"
#include "testhistory.h"

#include <QAction>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QTableView>
#include <QListWidget>
#include <QLocalServer>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

} // namespace

class UsbRoadTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void bootloaderRowIsUpdated();
    void applicationRowIsDetachedThenUpdatedOnReturn();
    void returnAfterSerialRebootIsMatched_data();
    void returnAfterSerialRebootIsMatched();
    void oneJobAtATime();
    void arrivalDuringTheJob_data();
    void arrivalDuringTheJob();
    void deviceThatNeverReturns();
    void closedWhileTheDeviceRestarts();
    void faultsEndTheJob_data();
    void faultsEndTheJob();
    void failureAndEmptyImage_data();
    void failureAndEmptyImage();
    void windowDestroyedDuringDownload();
    void signalEndsTheTransferAndTheWindow();
    void listRebuiltWhileStarting_data();
    void listRebuiltWhileStarting();
    void verifyAfterWriting_data();
    void verifyAfterWriting();
    void restoreFromHistory_data();
    void restoreFromHistory();

private:
    // A window with `image` chosen (the command line of a test run, which
    // may name a test function, must not stand in for it).
    void makeWindow(const QString &image);
    int rowOf(const QString &text) const;

    std::unique_ptr<DeviceBench> m_bench;
    std::unique_ptr<CMNDialog> m_window;
};

void UsbRoadTest::init()
{
    m_bench.reset(new DeviceBench);
    QVERIFY2(m_bench->isValid(), "run under umockdev-wrapper");
}

void UsbRoadTest::cleanup()
{
    m_window.reset();
    m_bench.reset();
}

void UsbRoadTest::makeWindow(const QString &image)
{
    m_window.reset(new CMNDialog);
    probe(m_window).chooseImage(image);
}

int UsbRoadTest::rowOf(const QString &text) const
{
    const auto found = ui(m_window).listWidget->findItems(text, Qt::MatchExactly);
    return found.size() == 1 ? ui(m_window).listWidget->row(found.first()) : -1;
}

void UsbRoadTest::bootloaderRowIsUpdated()
{
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora();
    config.busyPolls = 2;                    // about 20 ms per block
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(20 * 1024 + 300);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    QListWidget *list = ui(m_window).listWidget;
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QStringLiteral("Primora S/N: 0500A1B2 bootloader"));
    QVERIFY(ui(m_window).updBtn->isEnabled());
    QProgressBar *bar = ui(m_window).progressBar;
    QCOMPARE(bar->value(), 0);
    QSignalSpy values(bar, &QProgressBar::valueChanged);

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QVERIFY(probe(m_window).future().isRunning());
    QVERIFY(!ui(m_window).updBtn->isEnabled());
    QVERIFY(!ui(m_window).loadImg->isEnabled());
    QVERIFY(!probe(m_window).contextMenu().isEnabled());

    // The list stays as it is while the job runs.
    QListWidgetItem *row = list->item(0);
    QTest::ignoreMessage(QtDebugMsg, "blocked");
    probe(m_window).refreshAction()->trigger();
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0), row);

    QTRY_VERIFY_WITH_TIMEOUT(probe(m_window).controlsAre(true), 10000);
    QVERIFY(!probe(m_window).future().isRunning());
    QCOMPARE(probe(m_window).future().result(), 0);
    QCOMPARE(driver.handledCount(), 0);
    QCOMPARE(device.downloaded(), image);
    QCOMPARE(device.requestCount(1, 1), 21);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 20);
    QCOMPARE(bar->value(), 20);
    QCOMPARE(bar->text(), QStringLiteral("Update complete"));
    QList<int> seen;
    for (const auto &arguments : values)
        seen << arguments.at(0).toInt();
    QCOMPARE(seen, QList<int>({ 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 20 }));
}

void UsbRoadTest::applicationRowIsDetachedThenUpdatedOnReturn()
{
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora(EmulatedDfuDevice::AppIdle);
    config.port = "1-5";
    config.detachDelay = 150;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(5000);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    QListWidget *list = ui(m_window).listWidget;
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QStringLiteral("Primora S/N: 0500A1B2 v.6.1.2"));

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    // First phase: DETACH only, then the device leaves and comes back as
    // its bootloader and the download starts without another press.
    QTRY_COMPARE_WITH_TIMEOUT(device.reenumerations(), 1, 5000);
    QCOMPARE(device.productId(), quint16(0x8001));
    QTRY_VERIFY2_WITH_TIMEOUT(device.downloaded() == image, qPrintable(driver.seen().join("\n")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(probe(m_window).controlsAre(true) && !probe(m_window).future().isRunning(), 10000);

    QCOMPARE(device.requestCount(0), 1);
    QCOMPARE(device.requestCount(1, 0), 1);
    QCOMPARE(probe(m_window).reconnectMode().load(), -1);
    QVERIFY(!probe(m_window).detachIssued());
    QCOMPARE(probe(m_window).detachedBusNumber().load(), 1);
    QCOMPARE(probe(m_window).detachedPortNumber().load(), 5);
    QCOMPARE(list->currentItem()->text(), QStringLiteral("Primora S/N: 0500A1B2 bootloader"));
    QCOMPARE(ui(m_window).progressBar->value(), 4);
    QCOMPARE(driver.handledCount(), 0);
}

void UsbRoadTest::returnAfterSerialRebootIsMatched_data()
{
    QTest::addColumn<QString>("awaited");
    QTest::addColumn<QByteArray>("reported");        // by the arriving device
    QTest::addColumn<int>("productId");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("started");
    const int dfuIdle = EmulatedDfuDevice::DfuIdle;
    QTest::newRow("the same serial number") << "0500A1B2" << QByteArray("0500A1B2") << 0x8001 << dfuIdle << true;
    QTest::newRow("its end, reported by the bootloader") << "XY00A1B2" << QByteArray("00A1B2") << 0x8001 << dfuIdle
                                                         << true;
    QTest::newRow("the same last 4, another number") << "XY00A1B2" << QByteArray("0500A1B2") << 0x8001 << dfuIdle
                                                     << false;
    QTest::newRow("the awaited one inside a longer one") << "500A1B2" << QByteArray("0500A1B2") << 0x8001 << dfuIdle
                                                         << false;
    QTest::newRow("fewer than 4 characters of its end") << "0500A1B2" << QByteArray("B2") << 0x8001 << dfuIdle
                                                        << false;
    QTest::newRow("still in its application") << "0500A1B2" << QByteArray("0500A1B2") << 0x0001
                                              << int(EmulatedDfuDevice::AppIdle) << false;
}

void UsbRoadTest::returnAfterSerialRebootIsMatched()
{
    QFETCH(QString, awaited);
    QFETCH(QByteArray, reported);
    QFETCH(int, productId);
    QFETCH(int, state);
    QFETCH(bool, started);
    const QByteArray image = TestImage::bytes(3000);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    QCOMPARE(ui(m_window).listWidget->count(), 0);
    // As left by telling a serial device to reboot into its bootloader.
    probe(m_window).updateOwner()->begin(FirmwareImage::read(path), false);
    probe(m_window).updateOwner()->serialBootSent(awaited, true);

    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.serial = reported;
    config.productId = quint16(productId);
    config.initialState = EmulatedDfuDevice::State(state);
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());

    QTRY_COMPARE(ui(m_window).listWidget->count(), 1);
    if (started) {
        QVERIFY(probe(m_window).pendingSerialNumber().isEmpty());
        QCOMPARE(probe(m_window).reconnectMode().load(), -1);
        QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
        QCOMPARE(device.downloaded(), image);
        return;
    }
    // Another device: not written, and the awaited one is still awaited.
    QCOMPARE(probe(m_window).reconnectMode().load(), 0);
    QCOMPARE(probe(m_window).pendingSerialNumber(), awaited);
    QVERIFY(!probe(m_window).future().isRunning());
    QVERIFY(device.requests().size() > 0);
    QCOMPARE(device.requestCount(1, 1) + device.requestCount(1, 0), 0);

    config.serial = awaited.toLatin1();
    config.productId = 0x8002;
    config.initialState = EmulatedDfuDevice::DfuIdle;
    config.at("1-8", 30);
    EmulatedDfuDevice awaitedDevice(config);
    QVERIFY(!awaitedDevice.plug(m_bench->testbed()).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(awaitedDevice.downloaded() == image, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
    QCOMPARE(device.requestCount(1, 1) + device.requestCount(1, 0), 0);
    QVERIFY(probe(m_window).pendingSerialNumber().isEmpty());
}

void UsbRoadTest::oneJobAtATime()
{
    // A is written; B, in its application, is clicked and "updated" while
    // A's download runs. Had B's job run, it would have detached B and
    // handed the controls back, and "Refresh List" would have released the
    // libusb context A's job still used.
    EmulatedDfuDevice::Config configA = EmulatedDfuDevice::primora();
    configA.busyPolls = 3;
    EmulatedDfuDevice a(configA);
    QVERIFY(!a.plug(m_bench->testbed()).isEmpty());
    EmulatedDfuDevice::Config configB = EmulatedDfuDevice::primora(EmulatedDfuDevice::AppIdle);
    configB.serial = "0500C3D4";
    configB.at("1-6", 20);
    EmulatedDfuDevice b(configB);
    QVERIFY(!b.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(16 * 1024);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    QListWidget *list = ui(m_window).listWidget;
    const int rowA = rowOf(QStringLiteral("Primora S/N: 0500A1B2 bootloader"));
    const int rowB = rowOf(QStringLiteral("Primora S/N: 0500C3D4 v.6.1.2"));
    QVERIFY(rowA >= 0 && rowB >= 0);
    list->setCurrentRow(rowA);

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QVERIFY(probe(m_window).future().isRunning());
    const QFuture<int> jobA = probe(m_window).future();

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(rowB)).center());
    QCOMPARE(list->currentRow(), rowB);
    QVERIFY(probe(m_window).controlsAre(false));
    ui(m_window).lineEdit->setText(path);
    m_window->updateUpdateButton();
    QVERIFY(probe(m_window).controlsAre(false));
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTest::ignoreMessage(QtDebugMsg, "update in progress: the press starts nothing");
    m_window->onUpdBtnClicked();
    QTest::ignoreMessage(QtDebugMsg, "blocked");
    probe(m_window).refreshAction()->trigger();
    // Still A's job (Qt 6's futures cannot be compared; a job of B's would
    // have detached B by now).
    QVERIFY(jobA.isRunning() && probe(m_window).future().isRunning());
    QVERIFY(probe(m_window).controlsAre(false));

    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
    QVERIFY(jobA.isFinished());
    QCOMPARE(a.downloaded(), image);
    QCOMPARE(b.requestCount(0), 0);
    QCOMPARE(driver.handledCount(), 0);
    QCOMPARE(probe(m_window).reconnectMode().load(), -1);
}

void UsbRoadTest::arrivalDuringTheJob_data()
{
    QTest::addColumn<quint16>("productId");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("bootloader back before the job ended") << quint16(0x8001) << int(EmulatedDfuDevice::DfuIdle)
                                                          << "written";
    QTest::newRow("still in its application") << quint16(0x0001) << int(EmulatedDfuDevice::AppIdle) << "awaited";
    // Its bootloader's identifier, yet it answers in its application: it
    // was not restarted, so it is told nothing and nothing is "complete".
    QTest::newRow("back, but answers in its application") << quint16(0x8001) << int(EmulatedDfuDevice::AppIdle)
                                                           << "failed";
}

void UsbRoadTest::arrivalDuringTheJob()
{
    QFETCH(quint16, productId);
    QFETCH(int, state);
    QFETCH(QString, outcome);
    const QByteArray image = TestImage::bytes(3000);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    // As left by a DETACH job that is still finishing.
    probe(m_window).updateOwner()->begin(FirmwareImage::read(path), false);
    probe(m_window).updateOwner()->startUsb(QStringLiteral("1-7"));
    probe(m_window).updateOwner()->reportDetach(DfuEngine::Detach { true, true, 1, 7 });
    QTRY_COMPARE(probe(m_window).reconnectMode().load(), 1);
    probe(m_window).setUpdateControlsEnabled(false);
    QSemaphore release;
    probe(m_window).holdUsbJob(release);

    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.port = "1-7";
    config.productId = productId;
    config.initialState = EmulatedDfuDevice::State(state);
    config.detachDelay = -1;
    EmulatedDfuDevice device(config);
    QTest::ignoreMessage(QtDebugMsg, "blocked");
    QTest::ignoreMessage(QtDebugMsg, "reconnection deferred: a USB job is running");
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    QTRY_VERIFY(probe(m_window).traceEdit()->toPlainText().contains(QLatin1String("device connected")));
    QVERIFY(device.requests().isEmpty());

    release.release();
    ModalDriver driver(ModalDriver::dismissAll());
    if (outcome == QLatin1String("written")) {
        QTRY_VERIFY_WITH_TIMEOUT(device.downloaded() == image, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
        QCOMPARE(probe(m_window).reconnectMode().load(), -1);
        QVERIFY(!probe(m_window).updateOwner()->returnDeadlineRunning());
        QCOMPARE(ui(m_window).progressBar->text(), QStringLiteral("Update complete"));
    } else if (outcome == QLatin1String("failed")) {
        QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
        QTRY_COMPARE(driver.handledCount(), 1);
        QVERIFY2(driver.seen().at(0).contains(QLatin1String("came back in its application")),
                 qPrintable(driver.seen().at(0)));
        QCOMPARE(ui(m_window).progressBar->text(), QStringLiteral("Update failed"));
        QCOMPARE(device.requestCount(1, 1) + device.requestCount(1, 0) + device.requestCount(0), 0);
        QCOMPARE(probe(m_window).reconnectMode().load(), -1);
        return;
    } else {
        // The detached device has not left yet: it is not its own return.
        QTRY_COMPARE(ui(m_window).listWidget->count(), 1);
        QTest::qWait(200);
        QCOMPARE(device.requestCount(1, 1) + device.requestCount(1, 0) + device.requestCount(0), 0);
        QCOMPARE(probe(m_window).reconnectMode().load(), 1);
        QVERIFY(probe(m_window).updateOwner()->returnDeadlineRunning());
        QVERIFY(probe(m_window).controlsAre(false));
        QVERIFY(ui(m_window).progressBar->text().contains(QLatin1String("Waiting")));
    }
    QCOMPARE(driver.handledCount(), 0);
}

void UsbRoadTest::deviceThatNeverReturns()
{
    // It comes back only after the window has stopped waiting.
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora(EmulatedDfuDevice::AppIdle);
    config.detachDelay = 1200;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QString path = m_bench->storeImage(TestImage::bytes(3000));
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    QCOMPARE(probe(m_window).updateOwner()->returnTimeout(), 60000);
    probe(m_window).updateOwner()->setReturnTimeout(300);

    QStringList boxes;
    ModalDriver driver([&](QWidget *widget) {
        boxes << QString::number(int(probe(m_window).controlsAre(true)));
        ModalDriver::pressButton(qobject_cast<QMessageBox *>(widget), QStringLiteral("OK"));
    });
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(device.detachReceived());
    QTRY_VERIFY(!probe(m_window).future().isRunning());
    QVERIFY(probe(m_window).controlsAre(false));
    QTRY_COMPARE_WITH_TIMEOUT(driver.handledCount(), 1, 5000);
    QVERIFY2(driver.seen().at(0).startsWith(QLatin1String("Warning!|The device did not come back in its bootloader "
                                                          "within 0.3 seconds. The firmware was not updated")),
             qPrintable(driver.seen().at(0)));
    QCOMPARE(boxes, QStringList({ "1" }));
    QCOMPARE(probe(m_window).reconnectMode().load(), -1);
    QVERIFY(!probe(m_window).detachIssued());
    QCOMPARE(ui(m_window).progressBar->text(), QStringLiteral("Update failed"));
    QCOMPARE(TestHistory::onlyRow().outcome, QStringLiteral("timeout"));

    // Its late return is listed, not written.
    QTRY_COMPARE_WITH_TIMEOUT(device.reenumerations(), 1, 5000);
    QTRY_COMPARE(rowOf(QStringLiteral("Primora S/N: 0500A1B2 bootloader")), 0);
    QTest::qWait(100);
    QCOMPARE(device.requestCount(1, 1) + device.requestCount(1, 0), 0);
    QVERIFY(probe(m_window).controlsAre(true));
    QCOMPARE(driver.handledCount(), 1);
}

// Closed while its device restarts into its bootloader: the update's row
// says it was stopped, not that the program died during it.
void UsbRoadTest::closedWhileTheDeviceRestarts()
{
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora(EmulatedDfuDevice::AppIdle);
    config.detachDelay = 1200;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    makeWindow(m_bench->storeImage(TestImage::bytes(3000)));
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(device.detachReceived());
    QTRY_VERIFY(!probe(m_window).future().isRunning());
    m_window.reset();
    QCOMPARE(TestHistory::onlyRow().outcome, QStringLiteral("stopped"));
}

// The window's side of the fault matrix: whatever the chosen device does at
// a middle block or at the end of the image, in its bootloader or after it
// was sent there from its application, the job ends within its bound, a box
// says why (besides "Download error!"), the controls come back, the bar says
// the update failed, and the device beside it, in the same state, hears
// nothing.
void UsbRoadTest::faultsEndTheJob_data()
{
    QTest::addColumn<bool>("twoPhase");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("download");
    QTest::addColumn<QString>("says");          // in the first box; or the bar of a written image
    const char *unconfirmed = "Update complete, not confirmed by the device";
    const struct
    {
        const char *name;
        EmulatedDfuDevice::Fault fault;
        const char *middle;
        const char *end;
    } faults[] = {
        // A device that restarts as it takes the end of the image, or just
        // after, was written: it only did not confirm it.
        { "leaves", EmulatedDfuDevice::Leaves, "left the bus at block 4 of 8", unconfirmed },
        { "takes the request and leaves", EmulatedDfuDevice::LeavesAfter, "left the bus at block 4 of 8",
          unconfirmed },
        // Or that resets as it answers, or fails its next status request:
        // only a refusal of the end fails it there.
        { "resets in the status stage", EmulatedDfuDevice::ResetsInStatus, "Bad address.", unconfirmed },
        { "fails a status request", EmulatedDfuDevice::StatusIoError, "Error timeout.", unconfirmed },
        { "short status", EmulatedDfuDevice::ShortStatus, "Download error!", "refused the image at its end" },
        { "wrong state", EmulatedDfuDevice::WrongState, "reports DFU state appIDLE after block 4",
          "reports DFU state appIDLE after the end" },
        { "refuses", EmulatedDfuDevice::Refuses, "Download error!", "refused the image at its end" },
    };
    for (const bool twoPhase : { false, true }) {
        const QString road = QLatin1String(twoPhase ? "from the application: " : "bootloader: ");
        QTest::newRow(qPrintable(road + QLatin1String("no fault"))) << twoPhase << int(EmulatedDfuDevice::NoFault)
                                                                    << 0 << "";
        for (const auto &fault : faults) {
            QTest::newRow(qPrintable(road + QStringLiteral("%1 at a middle block").arg(QLatin1String(fault.name))))
                << twoPhase << int(fault.fault) << 4 << fault.middle;
            QTest::newRow(
                qPrintable(road + QStringLiteral("%1 at the end of the image").arg(QLatin1String(fault.name))))
                << twoPhase << int(fault.fault) << 9 << fault.end;
        }
    }
}

void UsbRoadTest::faultsEndTheJob()
{
    QFETCH(bool, twoPhase);
    QFETCH(int, fault);
    QFETCH(int, download);
    QFETCH(QString, says);
    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.productId = twoPhase ? 0x0001 : 0x8001;
    config.initialState = twoPhase ? EmulatedDfuDevice::AppIdle : EmulatedDfuDevice::DfuIdle;
    config.detachDelay = 100;
    config.fault = EmulatedDfuDevice::Fault(fault);
    config.faultAtDownload = download;
    std::unique_ptr<EmulatedDfuDevice> device;
    config.unplugWhenLeaving = true;
    device.reset(new EmulatedDfuDevice(config));
    EmulatedDfuDevice::Config otherConfig = config;
    otherConfig.fault = EmulatedDfuDevice::NoFault;
    otherConfig.at("1-5", 7);
    otherConfig.serial = "0500A1B3";
    EmulatedDfuDevice other(otherConfig);
    QVERIFY(!device->plug(m_bench->testbed()).isEmpty());
    QVERIFY(!other.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(8 * 1024);
    makeWindow(m_bench->storeImage(image));
    const int row = rowOf(twoPhase ? QStringLiteral("Primora S/N: 0500A1B2 v.6.1.2")
                                   : QStringLiteral("Primora S/N: 0500A1B2 bootloader"));
    QVERIFY(row >= 0);
    ui(m_window).listWidget->setCurrentRow(row);
    m_window->selectUSBDevice(ui(m_window).listWidget->item(row));

    ModalDriver driver(ModalDriver::dismissAll());
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    if (twoPhase) {
        QTRY_COMPARE_WITH_TIMEOUT(device->reenumerations(), 1, 5000);
        QCOMPARE(other.reenumerations(), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).reconnectMode().load() == -1 && probe(m_window).controlsAre(true),
                             15000);
    QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));
    QProgressBar *bar = ui(m_window).progressBar;
    if (says.isEmpty() || says.startsWith(QLatin1String("Update complete"))) {
        QCOMPARE(probe(m_window).future().result(), 0);
        QCOMPARE(driver.handledCount(), 0);
        QCOMPARE(bar->text(), says.isEmpty() ? QStringLiteral("Update complete") : says);
        QCOMPARE(bar->toolTip().isEmpty(), says.isEmpty());
        QCOMPARE(device->downloaded(), image);
        QCOMPARE(device->manifestations(), 1);
    } else {
        QVERIFY(probe(m_window).future().result() < 0);
        QTRY_VERIFY(driver.handledCount() > 0);
        // The cause, and the "Download error!" that every failed download
        // ends with; nothing else.
        QVERIFY2(driver.seen().filter(says).size() == 1 && driver.handledCount() <= 2,
                 qPrintable(driver.seen().join('\n')));
        QCOMPARE(bar->text(), QStringLiteral("Update failed"));
        QCOMPARE(device->manifestations(), 0);
    }
    for (const auto &r : other.requests())
        QVERIFY((r.requestType & 0x60) != 0x20);
    other.unplug(m_bench->testbed());
    device->unplug(m_bench->testbed());
}

void UsbRoadTest::failureAndEmptyImage_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("warning");
    QTest::newRow("rejected block") << 5000 << int(EmulatedDfuDevice::DfuIdle) << "Download error!";
    QTest::newRow("empty image, bootloader") << 0 << int(EmulatedDfuDevice::DfuIdle) << "is empty";
    QTest::newRow("empty image, application") << 0 << int(EmulatedDfuDevice::AppIdle) << "is empty";
}

void UsbRoadTest::failureAndEmptyImage()
{
    QFETCH(int, imageSize);
    QFETCH(int, state);
    QFETCH(QString, warning);
    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.initialState = EmulatedDfuDevice::State(state);
    config.productId = state == EmulatedDfuDevice::DfuIdle ? 0x8001 : 0x0001;
    config.errorOnBlock = 2;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QString path = m_bench->storeImage(TestImage::bytes(imageSize));
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    const int before = device.requests().size();

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
    QTRY_VERIFY(driver.handledCount() > 0);
    QVERIFY2(driver.seen().last().contains(warning), qPrintable(driver.seen().join('\n')));
    if (imageSize == 0) {
        // Refused before the device heard anything, DETACH included.
        QCOMPARE(device.requests().size(), before);
        QCOMPARE(driver.handledCount(), 1);
        QCOMPARE(probe(m_window).reconnectMode().load(), -1);
        return;
    }
    QCOMPARE(device.requestCount(1, 1), 3);
    QProgressBar *bar = ui(m_window).progressBar;
    QCOMPARE(bar->value(), bar->minimum());
    QCOMPARE(bar->text(), QStringLiteral("Update failed"));
}

// SIGTERM (a desktop logout) during a download: the block in flight ends,
// the device is told to abort rather than handed a partial image as whole,
// and the window closes by itself.
void UsbRoadTest::signalEndsTheTransferAndTheWindow()
{
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora();
    config.busyPolls = 3;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(40 * 1024);
    makeWindow(m_bench->storeImage(image));
    m_window->show();
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(device.requestCount(1, 1) >= 3);

    InterruptSignal::install();
    ::raise(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && !m_window->isVisible(), 5000);
    InterruptSignal::flag() = false;
    QCOMPARE(probe(m_window).future().result(), int(DfuEngine::interrupted));
    const auto requests = device.requests();
    QCOMPARE(int(requests.last().request), 6);               // DFU_ABORT
    QCOMPARE(device.requestCount(1, 0), 0);
    const int blocks = device.requestCount(1, 1);
    QVERIFY(blocks < 40);
    QCOMPARE(device.downloaded(), image.left(blocks * 1024));
}

void UsbRoadTest::windowDestroyedDuringDownload()
{
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora();
    config.busyPolls = 3;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(10 * 1024);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());
    makeWindow(path);
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QVERIFY(probe(m_window).future().isRunning());
    QTRY_VERIFY(device.requestCount(1, 1) > 0);

    // The job still uses the window's emitter and state; the window waits
    // for it before it goes, and the device gets the whole image.
    m_window.reset();
    QCOMPARE(device.downloaded(), image);
    QCOMPARE(device.requestCount(1, 0), 1);
    QCoreApplication::processEvents();
}

void UsbRoadTest::listRebuiltWhileStarting_data()
{
    QTest::addColumn<bool>("duringQuestion");
    QTest::newRow("during the mismatch question") << true;
    QTest::newRow("during the local-server pause") << false;
}

void UsbRoadTest::listRebuiltWhileStarting()
{
    QFETCH(bool, duringQuestion);
    // A program listening under the device's serial number makes the start
    // pause; a question waits for the user. A hot-plug refresh meanwhile
    // deletes the row and releases the device it named.
    const QByteArray serial = QByteArray::number(QCoreApplication::applicationPid() % 100000000).rightJustified(8, '0');
    QLocalServer::removeServer(QString::fromLatin1(serial));
    QLocalServer server;
    QVERIFY(duringQuestion || server.listen(QString::fromLatin1(serial)));

    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora();
    config.serial = serial;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    QString path = m_bench->storeImage(TestImage::bytes(3000));
    QVERIFY(!path.isEmpty());
    if (duringQuestion) {
        const QString other = m_bench->dir().filePath(QStringLiteral("SOCARA.IN2"));
        QVERIFY(QFile::rename(path, other));
        path = other;
    }
    makeWindow(path);
    const int before = device.requests().size();

    ModalDriver driver([this](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->text().contains(QLatin1String("doesn't match")))
            m_window->enumDevices();
        ModalDriver::pressButton(box, box->text().contains(QLatin1String("doesn't match")) ? "Ignore" : "OK");
    });
    if (!duringQuestion)
        QTimer::singleShot(50, m_window.get(), [this] { m_window->enumDevices(); });
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);

    QVERIFY(!probe(m_window).future().isRunning());
    const QString warning = driver.seen().last();
    QVERIFY2(warning.contains(QLatin1String("device list changed")), qPrintable(warning));
    QVERIFY(probe(m_window).controlsAre(true));
    // Only the listing talked to the device again; nothing was written.
    QCOMPARE(device.requestCount(1, 1) + device.requestCount(1, 0), 0);
    QVERIFY(device.requests().size() > before);
}

void UsbRoadTest::verifyAfterWriting_data()
{
    QTest::addColumn<bool>("twoPhase");
    QTest::addColumn<bool>("canUpload");
    QTest::addColumn<int>("corruptAt");
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("says");          // in a box, or the bar's tool tip
    QTest::addColumn<bool>("backup");           // "Back Up Before Writing" on too
    QTest::newRow("read back whole") << false << true << -1 << "Update complete, verified" << "" << false;
    QTest::newRow("from the application, read back whole") << true << true << -1 << "Update complete, verified"
                                                           << "" << false;
    QTest::newRow("a byte differs") << false << true << 4000 << "Update failed"
                                    << "the byte at offset 4000 (of 8192)" << false;
    QTest::newRow("cannot upload") << false << false << -1 << "Update complete, not verified"
                                   << "the device cannot read its image back" << false;
    QTest::newRow("from the application, backed up first") << true << true << -1 << "Update complete, verified"
                                                           << "" << true;
    QTest::newRow("cannot upload: no backup, not written") << false << false << -1 << "Update failed"
                                                           << "nothing was written" << true;
}

// "Verify After Writing" (remembered): the outcome says "verified" only
// when the image was read back whole; a difference fails the update and
// says where.
void UsbRoadTest::verifyAfterWriting()
{
    QFETCH(bool, twoPhase);
    QFETCH(bool, canUpload);
    QFETCH(int, corruptAt);
    QFETCH(QString, bar);
    QFETCH(QString, says);
    QFETCH(bool, backup);
    EmulatedDfuDevice::Config config;
    config.holds = TestImage::bytes(5000);
    config.product = "Primora";
    config.productId = twoPhase ? 0x0001 : 0x8001;
    config.initialState = twoPhase ? EmulatedDfuDevice::AppIdle : EmulatedDfuDevice::DfuIdle;
    config.canUpload = canUpload;
    config.corruptUploadAt = corruptAt;
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(8 * 1024);
    const QString path = m_bench->storeImage(image);
    makeWindow(path);
    QVERIFY(!probe(m_window).verifyAction()->isChecked());
    probe(m_window).verifyAction()->setChecked(true);
    probe(m_window).backupAction()->setChecked(backup);
    // Remembered: a new window starts with it on.
    makeWindow(path);
    QVERIFY(probe(m_window).verifyAction()->isChecked());
    QCOMPARE(probe(m_window).backupAction()->isChecked(), backup);

    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).reconnectMode().load() == -1 && probe(m_window).controlsAre(true),
                             10000);
    QCOMPARE(device.downloaded(), backup && !canUpload ? config.holds : image);
    QVERIFY(device.uploadRequests() > 0 || !canUpload);
    QCOMPARE(ui(m_window).progressBar->text(), bar);
    const QString said = driver.seen().join(QLatin1Char('|')) + ui(m_window).progressBar->toolTip();
    QVERIFY2(says.isEmpty() ? said.isEmpty() : said.contains(says), qPrintable(said));
    device.unplug(m_bench->testbed());
    if (backup) {
        // What it held, kept under its hash and named by the row.
        const QString sha256 = QString::fromLatin1(FirmwareImage::digestOf(config.holds));
        QByteArray kept;
        QCOMPARE(BackupStore().load(sha256, &kept), canUpload ? BackupStore::Ok : BackupStore::Missing);
        QCOMPARE(kept, canUpload ? config.holds : QByteArray());
        QCOMPARE(TestHistory::onlyRow().backupSha256, canUpload ? sha256 : QString());
        if (!canUpload)
            return;
    }

    // One row in the history, with the outcome the bar showed, for the
    // device written and the image's hash (two phases are one update).
    const UpdateHistory::Entry row = TestHistory::onlyRow();
    QCOMPARE(row.outcome, bar.endsWith(QLatin1String(", verified")) ? QStringLiteral("verified")
                          : bar.endsWith(QLatin1String("not verified")) ? QStringLiteral("not verifiable")
                                                                         : QStringLiteral("differs"));
    QCOMPARE(row.serialNumber, QStringLiteral("0500A1B2"));
    QCOMPARE(row.imageSha256, QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    QVERIFY(row.ended.isValid());

    // The History window shows it, filters by serial number, and exports
    // what --csv prints.
    QAction *open = WidgetsByName::withText<QAction>(&probe(m_window).contextMenu(), QStringLiteral("History..."));
    QVERIFY(open);
    open->trigger();
    auto *dialog = m_window->findChild<HistoryDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    QTRY_VERIFY(dialog->isLoaded());
    auto *table = dialog->findChild<QTableView *>();
    QCOMPARE(table->model()->rowCount(), 1);
    dialog->findChild<QLineEdit *>()->setText(QStringLiteral("0400"));
    QCOMPARE(table->model()->rowCount(), 0);
    dialog->findChild<QLineEdit *>()->setText(QStringLiteral("A1B2"));
    QCOMPARE(table->model()->rowCount(), 1);
    const QString csv = m_bench->dir().filePath(QStringLiteral("history.csv"));
    QVERIFY(dialog->exportCsv(csv));
    QFile exported(csv);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    QCOMPARE(exported.readAll(), HistoryReport::csv(TestHistory::rows()));
    dialog->close();
}

void UsbRoadTest::restoreFromHistory_data()
{
    QTest::addColumn<bool>("tampered");
    QTest::newRow("the backup as kept") << false;
    QTest::newRow("the backup changed since") << true;
}

// History's "Restore Previous Firmware..." on a row with a backup: asked
// first, naming the device and the hash; then written back and read back,
// in a row that names the row restored. A changed file is never sent.
void UsbRoadTest::restoreFromHistory()
{
    QFETCH(bool, tampered);
    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.canUpload = true;
    config.holds = TestImage::bytes(5000);
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(m_bench->testbed()).isEmpty());
    const QByteArray image = TestImage::bytes(8 * 1024).replace(0, 1, "N");
    makeWindow(m_bench->storeImage(image));
    probe(m_window).backupAction()->setChecked(true);
    {
        ModalDriver quiet(ModalDriver::dismissAll());
        QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
    }
    QCOMPARE(device.downloaded(), image);
    const UpdateHistory::Entry backedUp = TestHistory::onlyRow();
    QCOMPARE(backedUp.backupSha256, QString::fromLatin1(FirmwareImage::digestOf(config.holds)));
    if (tampered) {
        QFile file(BackupStore().pathOf(backedUp.backupSha256));
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(10) && file.putChar('X'));
    }

    WidgetsByName::withText<QAction>(&probe(m_window).contextMenu(), QStringLiteral("History..."))->trigger();
    auto *dialog = m_window->findChild<HistoryDialog *>();
    QTRY_VERIFY(dialog && dialog->isLoaded());
    auto *restore = dialog->findChild<QPushButton *>(QStringLiteral("restore"));
    QVERIFY(restore && !restore->isEnabled());
    dialog->findChild<QTableView *>()->selectRow(0);
    QVERIFY(restore->isEnabled());
    QStringList asked;
    ModalDriver driver(ModalDriver::pressing(QStringLiteral("Restore"), &asked));
    const int downloads = device.downloadRequests();
    restore->click();
    QTRY_COMPARE(asked.size(), 1);
    // (The box has been answered; the job starts once it has closed.)
    QTRY_VERIFY_WITH_TIMEOUT(tampered || (TestHistory::rows().size() == 2 && TestHistory::rows().first().ended.isValid()),
                             10000);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && probe(m_window).controlsAre(true), 10000);
    if (tampered) {
        QVERIFY2(asked.first().contains(QLatin1String("no longer holds what was stored")), qPrintable(asked.first()));
        QCOMPARE(device.downloadRequests(), downloads);
        QCOMPARE(TestHistory::rows().size(), 1);
        device.unplug(m_bench->testbed());
        return;
    }
    QVERIFY2(asked.first().contains(QLatin1String("S/N: 0500A1B2")) && asked.first().contains(backedUp.backupSha256),
             qPrintable(asked.first()));
    QCOMPARE(device.downloaded(), config.holds);
    QCOMPARE(ui(m_window).progressBar->text(), QStringLiteral("Update complete, verified"));
    const QVector<UpdateHistory::Entry> rows = TestHistory::rows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.first().restoredRow, backedUp.id);
    QCOMPARE(rows.first().outcome, QStringLiteral("verified"));
    device.unplug(m_bench->testbed());
}

QTEST_MAIN(UsbRoadTest)
#include "tst_usbroad.moc"
