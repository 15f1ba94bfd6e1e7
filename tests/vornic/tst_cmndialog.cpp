#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "devicetype.h"
#include "emitter.h"
#include "modaldriver.h"
#include "privatesettings.h"

#include <QAction>
#include <QErrorMessage>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSemaphore>
#include <QSettings>
#include <QtConcurrent>
#include <QtTest>

#include <cerrno>
#include <memory>

namespace {
const QString guid = QStringLiteral("#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

class VornicWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void metaMethodsInDeclaredOrder();
    void titleHasTwoBlanksBeforeVersion();
    void formAsDesigned();
    void styleSheetsAndIcon();
    void settingsDefaultsWithoutFile();
    void settingsReadFromFile();
    void controlsOnEmptyAndFilledList();
    void rowClickAndImageFieldDriveUpdateButton();
    void contextMenuActionsFollowRowCount();
    void traceWindowToggleKeepsText();
    void networkRowTextAndData();
    void rowsAreAppendedAndBecomeCurrent();
    void deleteNetworkRowRemovesRecordsSharingItsIp();
    void deleteOtherRowKeepsRecords();
    void plainRefreshRebuildsNetworkRows();
    void refreshRefusedWhileJobRuns();
    void hotplugLines_data();
    void hotplugLines();
    void hotplugEmptyPathIgnored();
    void hotplugRefreshesList();
    void closeWaitsForRunningJob();
    void btnsOnAfterJobEnds();
    void statusErrorUsesErrnoForZero();
    void warningBox();
    void errorAndConnectionBoxes();
    void loadImageStoresAbsolutePathAndFilter_data();
    void loadImageStoresAbsolutePathAndFilter();

private:
    CMNDialog *makeWindow();
    NetworkDevice *addRecord(CMNDialog *w, const QString &ip, const QString &serial, int type);

    std::unique_ptr<PrivateSettings> m_settings;
    std::unique_ptr<CMNDialog> m_window;
};

void VornicWindowTest::init()
{
    m_settings.reset(new PrivateSettings);
    QVERIFY(m_settings->isValid());
}

void VornicWindowTest::cleanup()
{
    m_window.reset();
    m_settings.reset();
}

CMNDialog *VornicWindowTest::makeWindow()
{
    m_window.reset(new CMNDialog);
    return m_window.get();
}

NetworkDevice *VornicWindowTest::addRecord(CMNDialog *w, const QString &ip, const QString &serial, int type)
{
    auto *device = new NetworkDevice(ip, 10102, w);
    device->setSerialNumber(serial);
    device->setType(type);
    probe(w).networkDevices().append(device);
    return device;
}

void VornicWindowTest::metaMethodsInDeclaredOrder()
{
    // Connections by signature and queued invocations by name rely on these
    // methods; their order fixes the meta-method indexes.
    const QMetaObject &meta = CMNDialog::staticMetaObject;
    QStringList signatures;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        signatures << QString::fromLatin1(meta.method(i).methodSignature());
    QCOMPARE(signatures, QStringList({
        "stopThread()", "uploadFinished(int)", "uploadNetworkDevice(NetworkDevice*)",
        "btnLoadImageClicked()", "selectUSBDevice(QListWidgetItem*)", "onUpdBtnClicked()",
        "onRebootNetworkDevice()", "deviceConnected()", "enumDevices()",
        "getNetworkDeviceOptions(QString,QString)", "closeConnectDialog()",
        "addNetworkDeviceToList(QString,int)", "slotError()", "showContextMenu(QPoint)",
        "displayWarnings(QString)", "keyCtrlDPressed()", "btnsOn()", "openConnectDialog()",
        "deleteFromWidget()", "checkConnection()", "checkConnectionTaskFinished(QByteArray)",
        "checkDeviceList()" }));
    QCOMPARE(meta.method(meta.indexOfMethod("enumDevices()")).returnType(), int(QMetaType::Int));
}

void VornicWindowTest::titleHasTwoBlanksBeforeVersion()
{
    CMNDialog *w = makeWindow();
    QCOMPARE(w->windowTitle(), QStringLiteral("Ordane Vornic  v2.1.6"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral(" v2.1.6"));
}

void VornicWindowTest::formAsDesigned()
{
    CMNDialog *w = makeWindow();
    QCOMPARE(w->objectName(), QStringLiteral("CMNDialog"));
    QCOMPARE(w->size(), QSize(580, 197));
    QCOMPARE(w->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(int(w->windowFlags()), 0x0840F103);

    struct Expected {
        QWidget *widget;
        QRect geometry;
        QString text;
    };
    const Expected widgets[] = {
        { ui(w).listWidget, QRect(20, 25, 361, 71), QString() },
        { ui(w).progressBar, QRect(20, 108, 361, 24), QString() },
        { ui(w).lineEdit, QRect(20, 144, 361, 28), QString() },
        { ui(w).updBtn, QRect(400, 103, 160, 31), QStringLiteral("Update Firmware") },
        { ui(w).loadImg, QRect(400, 142, 160, 31), QStringLiteral("Load Image") },
        { ui(w).addNetworkDeviceBtn, QRect(398, 24, 160, 31), QStringLiteral("Add Network Device") },
    };
    for (const Expected &e : widgets) {
        QCOMPARE(e.widget->parentWidget(), ui(w).centralWidget);
        QCOMPARE(e.widget->geometry(), e.geometry);
        // The list inherits its font; the others set 9 pt themselves.
        if (e.widget != ui(w).listWidget)
            QCOMPARE(e.widget->font().pointSize(), 9);
        if (auto *button = qobject_cast<QPushButton *>(e.widget))
            QCOMPARE(button->text(), e.text);
    }
    QCOMPARE(ui(w).centralWidget->font().family(), QStringLiteral("MS Shell Dlg 2"));
    QCOMPARE(ui(w).updBtn->font().family(), QStringLiteral("MS Shell Dlg 2"));
    QCOMPARE(ui(w).progressBar->value(), 0);
    QCOMPARE(ui(w).listWidget->contextMenuPolicy(), Qt::CustomContextMenu);
    QCOMPARE(probe(w).deviceNames(), QStringList({ "Unknown device", "Primora", "Bridova", "Bridonix", "Socara",
                                           "Beamora", "Dongara", "Unknown Remote Device" }));
    QCOMPARE(probe(w).deviceNames().at(UnknownRemoteDevice), QStringLiteral("Unknown Remote Device"));
    QVERIFY(w->styleSheet().startsWith(QLatin1String("QProgressBar{\nborder: 1px solid grey;")));
    QVERIFY(w->styleSheet().endsWith(QLatin1String("stop: 1 #248484 );border: 0px;}")));
}

void VornicWindowTest::styleSheetsAndIcon()
{
    CMNDialog *w = makeWindow();
    const QByteArray expected("*[greyFrame=\"true\"]\r\n{\r\n\tborder: 1px solid #b2bfc3;\r\n"
                              "\tfont-size: 9pt;\r\n\tfont-family: \"Tahoma\";\r\n\tcolor: #283942;\r\n}");
    QCOMPARE(expected.size(), 115);
    QFile resource(QStringLiteral(":/styles.css"));
    QVERIFY(resource.open(QIODevice::ReadOnly));
    QCOMPARE(resource.readAll(), expected);
    QCOMPARE(qApp->styleSheet(), QString::fromLatin1(expected));

    QVERIFY(!QImage(QStringLiteral(":/icon1.png")).isNull());
    QVERIFY(!w->windowIcon().isNull());
}

void VornicWindowTest::settingsDefaultsWithoutFile()
{
    QVERIFY(!QFile::exists(m_settings->vornicFile()));
    CMNDialog *w = makeWindow();
    QCOMPARE(probe(w).lastPort(), 10102);
    QVERIFY(probe(w).lastIp().isEmpty());
    QVERIFY(probe(w).imagePath().isEmpty());
    QVERIFY(probe(w).imageDir().isEmpty());
    QVERIFY(ui(w).lineEdit->text().isEmpty());
}

void VornicWindowTest::settingsReadFromFile()
{
    {
        QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Ordane", "Vornic");
        stored.setValue("settings/last_ip", "127.0.0.5");
        stored.setValue("settings/port", 2001);
        stored.setValue("filename", m_settings->path() + "/fw/BRDV_1.INC");
    }
    QVERIFY(QFile::exists(m_settings->vornicFile()));
    CMNDialog *w = makeWindow();
    QCOMPARE(probe(w).lastIp(), QStringLiteral("127.0.0.5"));
    QCOMPARE(probe(w).lastPort(), 2001);
    QCOMPARE(probe(w).imagePath(), m_settings->path() + "/fw/BRDV_1.INC");
    QCOMPARE(ui(w).lineEdit->text(), probe(w).imagePath());
    QCOMPARE(probe(w).imageDir(), m_settings->path() + "/fw");
}

void VornicWindowTest::controlsOnEmptyAndFilledList()
{
    CMNDialog *w = makeWindow();
    QCOMPARE(ui(w).listWidget->count(), 0);
    QVERIFY(!ui(w).loadImg->isEnabled());
    QVERIFY(!ui(w).updBtn->isEnabled());
    QVERIFY(probe(w).contextMenu().isEnabled());

    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->enumDevices();
    QCOMPARE(ui(w).listWidget->currentRow(), 0);
    QVERIFY(ui(w).loadImg->isEnabled());
    QVERIFY2(!ui(w).updBtn->isEnabled(), "no image chosen yet");

    ui(w).lineEdit->setText("/tmp/PR.INC");
    w->enumDevices();
    QVERIFY(ui(w).updBtn->isEnabled());

    // No current row: both off, whatever the image field holds.
    ui(w).listWidget->setCurrentRow(-1);
    QVERIFY(!ui(w).loadImg->isEnabled());
    QVERIFY(!ui(w).updBtn->isEnabled());
}

void VornicWindowTest::rowClickAndImageFieldDriveUpdateButton()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->enumDevices();
    QListWidgetItem *row = ui(w).listWidget->item(0);

    // A row click follows the image field, not just the row.
    ui(w).lineEdit->clear();
    w->selectUSBDevice(row);
    QVERIFY(row->isSelected());
    QVERIFY(!ui(w).updBtn->isEnabled());
    ui(w).lineEdit->setText("x.INC");
    w->selectUSBDevice(row);
    QVERIFY(ui(w).updBtn->isEnabled());

    // An update in progress locks the three controls; btnsOn frees them.
    probe(w).setUpdateControlsEnabled(false);
    QVERIFY(!ui(w).updBtn->isEnabled() && !ui(w).loadImg->isEnabled() && !probe(w).contextMenu().isEnabled());
    w->btnsOn();
    QVERIFY(ui(w).updBtn->isEnabled() && ui(w).loadImg->isEnabled() && probe(w).contextMenu().isEnabled());
}

void VornicWindowTest::contextMenuActionsFollowRowCount()
{
    CMNDialog *w = makeWindow();
    QStringList visible;
    ModalDriver driver([&](QWidget *widget) {
        auto *menu = qobject_cast<QMenu *>(widget);
        QVERIFY(menu);
        for (QAction *action : menu->actions())
            if (action->isVisible())
                visible << action->text();
        menu->close();
    });

    w->show();
    w->showContextMenu(QPoint(5, 5));
    // (After a separator, the setting that reads images back, and the
    // update history.)
    QCOMPARE(visible, QStringList({ "Refresh List", "", "Verify After Writing", "Back Up Before Writing", "History...", "Production Station..." }));

    visible.clear();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->enumDevices();
    w->showContextMenu(QPoint(5, 5));
    QCOMPARE(visible, QStringList({ "Delete", "Refresh List", "", "Verify After Writing", "Back Up Before Writing", "History...", "Production Station..." }));
    QCOMPARE(driver.handledCount(), 2);
}

void VornicWindowTest::traceWindowToggleKeepsText()
{
    CMNDialog *w = makeWindow();
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QVERIFY(probe(w).traceDialog()->isHidden());
    QCOMPARE(probe(w).traceDialog()->windowTitle(), QStringLiteral("Trace"));

    QTest::keyClick(w, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(probe(w).traceDialog()->isVisible());
    QVERIFY(!probe(w).traceDialog()->isModal());

    probe(w).traceEdit()->appendPlainText("first line");
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(probe(w).traceDialog()->isHidden());

    w->handleDeviceChange(false, "\\\\?\\USB#VID_3B5D&PID_0016#0500A1B2" + guid);
    QTest::keyClick(w, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(probe(w).traceDialog()->isVisible());
    QCOMPARE(probe(w).traceEdit()->toPlainText(),
             QStringLiteral("first line\n VID_3B5D&PID_0016 0500A1B2 device disconnected"));
}

void VornicWindowTest::networkRowTextAndData()
{
    CMNDialog *w = makeWindow();
    NetworkDevice *primora = addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    NetworkDevice *unknown = addRecord(w, "127.0.0.3", "FFFF", UnknownDevice);
    w->enumDevices();

    QCOMPARE(ui(w).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2",
                                        "Unknown device S/N: FFFF at 127.0.0.3" }));
    const QVariant data = ui(w).listWidget->item(0)->data(Qt::UserRole);
    QCOMPARE(data.userType(), int(QMetaType::VoidStar));
    QCOMPARE(data.value<void *>(), static_cast<void *>(primora));
    QCOMPARE(ui(w).listWidget->item(1)->data(Qt::UserRole).value<void *>(), static_cast<void *>(unknown));
    QCOMPARE(ui(w).listWidget->currentRow(), 0);
}

void VornicWindowTest::rowsAreAppendedAndBecomeCurrent()
{
    CMNDialog *w = makeWindow();
    int dummy = 0;
    const quintptr usbDevice = reinterpret_cast<quintptr>(&dummy);
    w->addListEntry("GW Net S/N: 0500A1B2 bootloader", QVariant::fromValue(usbDevice));
    w->addListEntry("Primora S/N: 0500A1B2 via ttyACM0", QVariant(QStringLiteral("port")));
    QCOMPARE(ui(w).listWidget->count(), 2);
    QCOMPARE(ui(w).listWidget->currentRow(), 1);
    QCOMPARE(ui(w).listWidget->item(0)->data(Qt::UserRole).value<quintptr>(), usbDevice);
    QCOMPARE(ui(w).listWidget->item(0)->data(Qt::DisplayRole).toString(),
             QStringLiteral("GW Net S/N: 0500A1B2 bootloader"));
    // A USB row is neither a network row nor of a known model by its text.
    ui(w).listWidget->setCurrentRow(0);
    QVERIFY(!probe(w).isNetworkDevice());
    QCOMPARE(probe(w).deviceTypeIndex(), int(UnknownDevice));
    ui(w).listWidget->setCurrentRow(1);
    QCOMPARE(probe(w).deviceTypeIndex(), int(Primora));
}

void VornicWindowTest::deleteNetworkRowRemovesRecordsSharingItsIp()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    NetworkDevice *other = addRecord(w, "127.0.0.3", "03D0001", Socara);
    NetworkDevice *twin = addRecord(w, "127.0.0.2", "0500A1B3", Primora);
    QPointer<NetworkDevice> twinGuard(twin);
    w->enumDevices();
    probe(w).pendingDevice() = twin;
    QCOMPARE(ui(w).listWidget->count(), 3);

    ui(w).listWidget->setCurrentRow(0);
    w->deleteFromWidget();

    QCOMPARE(probe(w).networkDevices(), QVector<NetworkDevice *>({ other }));
    QVERIFY2(twinGuard.isNull(), "the record sharing the address is deleted");
    QCOMPARE(probe(w).pendingDevice(), nullptr);
    // No row is left pointing at a deleted record.
    QCOMPARE(ui(w).rowTexts(), QStringList({ "Socara S/N: 03D0001 at 127.0.0.3" }));
}

void VornicWindowTest::deleteOtherRowKeepsRecords()
{
    CMNDialog *w = makeWindow();
    NetworkDevice *device = addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->enumDevices();
    int dummy = 0;
    w->addListEntry("Bootloader S/N: 1 bootloader", QVariant::fromValue(reinterpret_cast<quintptr>(&dummy)));
    QCOMPARE(ui(w).listWidget->currentRow(), 1);

    w->deleteFromWidget();
    QCOMPARE(ui(w).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2" }));
    QCOMPARE(probe(w).networkDevices(), QVector<NetworkDevice *>({ device }));

    // Nothing current: nothing happens.
    ui(w).listWidget->setCurrentRow(-1);
    w->deleteFromWidget();
    QCOMPARE(ui(w).listWidget->count(), 1);
    QCOMPARE(probe(w).networkDevices().size(), 1);
}

void VornicWindowTest::plainRefreshRebuildsNetworkRows()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    addRecord(w, "127.0.0.3", "03D0001", Socara);

    // Start-up, hot-plug and direct refreshes rebuild the rows from the
    // records without asking the devices ("Refresh List" asks them).
    w->enumDevices();
    QCOMPARE(ui(w).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2", "Socara S/N: 03D0001 at 127.0.0.3" }));
}

void VornicWindowTest::refreshRefusedWhileJobRuns()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->enumDevices();
    int dummy = 0;
    w->addListEntry("Device being updated", QVariant::fromValue(reinterpret_cast<quintptr>(&dummy)));
    const QStringList before = ui(w).rowTexts();

    QSemaphore release;
    probe(w).holdUsbJob(release);
    QTest::ignoreMessage(QtDebugMsg, "blocked");
    probe(w).refreshAction()->trigger();
    QCOMPARE(ui(w).rowTexts(), before);
    QCOMPARE(probe(w).networkDevices().size(), 1);

    release.release();
    QTRY_VERIFY(!probe(w).future().isRunning());
    w->enumDevices();
    QCOMPARE(ui(w).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2" }));
}

void VornicWindowTest::hotplugLines_data()
{
    QTest::addColumn<bool>("arrival");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("line");

    QTest::newRow("arrival") << true << "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2" + guid
                             << " VID_3B5D&PID_8001 0500A1B2 device connected";
    QTest::newRow("removal") << false << "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2" + guid
                             << " VID_3B5D&PID_8001 0500A1B2 device disconnected";
    QTest::newRow("port path instead of serial") << true << "\\\\?\\USB#VID_3B5D&PID_0016#1-3.2" + guid
                                                 << " VID_3B5D&PID_0016 1-3.2 device connected";
    QTest::newRow("no separators") << true << "\\\\?\\USBXYZ" << " device connected";
}

void VornicWindowTest::hotplugLines()
{
    QFETCH(bool, arrival);
    QFETCH(QString, path);
    QFETCH(QString, line);

    CMNDialog *w = makeWindow();
    QTest::ignoreMessage(QtDebugMsg, qPrintable(line));
    w->handleDeviceChange(arrival, path);
    QCOMPARE(probe(w).traceEdit()->toPlainText(), line);
}

void VornicWindowTest::hotplugEmptyPathIgnored()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->handleDeviceChange(true, "\\\\?\\USB");
    w->handleDeviceChange(false, QString());
    QVERIFY(probe(w).traceEdit()->toPlainText().isEmpty());
    // Not refreshed either: the record has no row yet.
    QCOMPARE(ui(w).listWidget->count(), 0);
}

void VornicWindowTest::hotplugRefreshesList()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    const QString path = "\\\\?\\USB#VID_3B5D&PID_8001#0500A1B2" + guid;

    w->handleDeviceChange(true, path);
    QCOMPARE(ui(w).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2" }));
    w->addListEntry("gone at next refresh", QVariant());
    w->handleDeviceChange(false, path);
    QCOMPARE(ui(w).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2" }));

    // During a USB job both events are written down and refresh nothing.
    w->addListEntry("row under update", QVariant());
    QSemaphore release;
    probe(w).holdUsbJob(release);
    QTest::ignoreMessage(QtDebugMsg, "blocked");
    w->handleDeviceChange(true, path);
    QTest::ignoreMessage(QtDebugMsg, "blocked");
    w->handleDeviceChange(false, path);
    QCOMPARE(ui(w).listWidget->count(), 2);
    QCOMPARE(probe(w).traceEdit()->toPlainText().count(QLatin1Char('\n')), 3);
    release.release();
    QTRY_VERIFY(!probe(w).future().isRunning());
}

void VornicWindowTest::closeWaitsForRunningJob()
{
    CMNDialog *w = makeWindow();
    w->show();
    QSignalSpy stops(w, &CMNDialog::stopThread);
    QSemaphore release;
    std::atomic<bool> jobDone { false };
    probe(w).watchUsbJob(QtConcurrent::run([&] {
        release.acquire();
        jobDone = true;
        return 0;
    }));

    // Closing returns at once and the window stays, saying why; a second
    // attempt changes nothing.
    QVERIFY(!w->close());
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QCOMPARE(stops.count(), 1);
    QVERIFY2(ui(w).progressBar->text().startsWith(QLatin1String("Finishing the transfer before closing")),
             qPrintable(ui(w).progressBar->text()));
    // It keeps handling events meanwhile.
    bool timerFired = false;
    QTimer::singleShot(20, w, [&timerFired] { timerFired = true; });
    QTRY_VERIFY(timerFired);
    QVERIFY(w->isVisible());

    release.release();
    QTRY_VERIFY(!w->isVisible());
    QVERIFY(jobDone);

    // With nothing running, closing neither waits nor signals.
    CMNDialog *idle = makeWindow();
    QSignalSpy idleStops(idle, &CMNDialog::stopThread);
    QVERIFY(idle->close());
    QCOMPARE(idleStops.count(), 0);
}

void VornicWindowTest::btnsOnAfterJobEnds()
{
    CMNDialog *w = makeWindow();
    addRecord(w, "127.0.0.2", "0500A1B2", Primora);
    w->enumDevices();
    probe(w).setUpdateControlsEnabled(false);
    QSemaphore release;
    probe(w).holdUsbJob(release, -1);
    QTest::qWait(50);
    QVERIFY(!ui(w).updBtn->isEnabled());
    release.release();
    QTRY_VERIFY(ui(w).updBtn->isEnabled());
    QVERIFY(ui(w).loadImg->isEnabled());
    QVERIFY(probe(w).contextMenu().isEnabled());
    QVERIFY(!probe(w).updateOwner()->inProgress());

    // The job's progress reaches the bar through the emitter, queued.
    QThread *worker = QThread::create([w] {
        emit probe(w).emitter()->load_start(0, 3);
        emit probe(w).emitter()->load_progress(2);
    });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    QTRY_COMPARE(ui(w).progressBar->value(), 2);
    QCOMPARE(ui(w).progressBar->maximum(), 3);
}

void VornicWindowTest::statusErrorUsesErrnoForZero()
{
    CMNDialog *w = makeWindow();
    ModalDriver driver(ModalDriver::dismissAll());
    errno = EACCES;
    w->showStatusError("Cannot initialize libusb", 0);
    w->showStatusError("Cannot initialize libusb", -99);
    QCOMPARE(driver.handledCount(), 2);
    QCOMPARE(driver.seen().size(), 2);
    QVERIFY2(driver.seen().at(0).endsWith(QStringLiteral("|Cannot initialize libusb Status=%1").arg(EACCES)),
             qPrintable(driver.seen().at(0)));
    QVERIFY2(driver.seen().at(1).endsWith(QLatin1String("|Cannot initialize libusb Status=-99")),
             qPrintable(driver.seen().at(1)));
}

void VornicWindowTest::warningBox()
{
    CMNDialog *w = makeWindow();
    QStringList buttons;
    // Every text a box shows is plain: one that quotes what a device said
    // of itself is never rendered as markup.
    QStringList richLabels;
    ModalDriver driver([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        QVERIFY(box);
        QCOMPARE(box->icon(), QMessageBox::Warning);
        for (QAbstractButton *b : box->buttons())
            buttons << b->text();
        for (const QLabel *label : box->findChildren<QLabel *>()) {
            if (!label->text().isEmpty() && label->textFormat() != Qt::PlainText)
                richLabels << label->text();
        }
        ModalDriver::pressButton(box, buttons.last());
    });
    w->displayWarnings("Download error!");
    QCOMPARE(driver.seen(), QStringList({ "Warning!|Download error!" }));
    QCOMPARE(buttons.size(), 1);

    // Worker errors arrive through the emitter.
    emit probe(w).emitter()->errorSignal("Error timeout.");
    QCOMPARE(driver.seen().last(), QStringLiteral("Warning!|Error timeout."));

    const QString name = QStringLiteral("<b>Dongara</b> S/N: <img src=\"x\"><a href=\"y\">04E2</a>");
    w->displayWarnings(QStringLiteral("The device %1 refused record 3.").arg(name));
    CMNDialogProbe::askButtons(QMessageBox::Warning, QStringLiteral("Vornic"), name, { QStringLiteral("Cancel") }, 0, 0, w,
                          name);
    QCOMPARE(driver.handledCount(), 4);
    QCOMPARE(richLabels, QStringList());
}

void VornicWindowTest::errorAndConnectionBoxes()
{
    CMNDialog *w = makeWindow();
    QList<QMessageBox::Icon> icons;
    ModalDriver driver([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        QVERIFY(box);
        icons << box->icon();
        ModalDriver::pressButton(box, "OK");
    });
    w->slotError();
    w->checkConnectionTaskFinished("\r\nOK\r\n");
    w->checkConnectionTaskFinished("ERROR");
    QCOMPARE(driver.seen(), QStringList({ "Vornic|Firmware upload failed", "Vornic|Device connected",
                                          "Vornic|Device disconnected" }));
    QCOMPARE(icons, QList<QMessageBox::Icon>({ QMessageBox::Critical, QMessageBox::Warning,
                                               QMessageBox::Warning }));
}

void VornicWindowTest::loadImageStoresAbsolutePathAndFilter_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("network");
    QTest::addColumn<QString>("filter");

    QTest::newRow("unknown") << int(UnknownDevice) << false << "*.IN2 *.INC";
    QTest::newRow("Primora USB") << int(Primora) << false << "*.INC *.INB";
    QTest::newRow("Primora network") << int(Primora) << true << "*.IN2 *.INB";
    QTest::newRow("Socara network") << int(Socara) << true << "*.IN2 *.INB";
    QTest::newRow("Dongara USB") << int(Dongara) << false << "*.IN2 *.INB";
}

void VornicWindowTest::loadImageStoresAbsolutePathAndFilter()
{
    QFETCH(int, type);
    QFETCH(bool, network);
    QFETCH(QString, filter);

    QDir(m_settings->path()).mkpath("images");
    const QString image = m_settings->path() + "/images/FW.INC";
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    CMNDialog *w = makeWindow();
    if (network) {
        addRecord(w, "127.0.0.2", "0500A1B2", type);
        w->enumDevices();
    } else {
        w->addListEntry(probe(w).deviceNames().at(type) + " S/N: 0500A1B2", QVariant(QStringLiteral("port")));
    }

    QStringList filters;
    ModalDriver driver([&](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Open Firmware Image"));
        filters = dialog->nameFilters();
        // Type the path, as a user would; the dialog's model loads the
        // folder asynchronously, so selectFile() may not take yet.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(image);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    w->btnLoadImageClicked();
    QCOMPARE(driver.handledCount(), 1);
    QCOMPARE(filters, QStringList({ filter }));
    QCOMPARE(ui(w).lineEdit->text(), image);
    QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Ordane", "Vornic");
    QCOMPARE(stored.value("filename").toString(), image);
    QVERIFY(ui(w).updBtn->isEnabled());
}

QTEST_MAIN(VornicWindowTest)
#include "tst_cmndialog.moc"
