#include "cmndialog.h"
#include "ui_cmndialog.h"
#include "updateoutcome.h"

#include "devicecatalog.h"
#include "historydialog.h"
#include "emitter.h"
#include "interruptsignal.h"
#include "network/statuswordcounter.h"
#include "usb/dfuprotocol.h"
#include "usb/usbdevicelist.h"
#include "tracelines.h"
#include "usbhotplugmonitor.h"

#include "plaintextbox.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDialog>
#include <QDir>
#include <QErrorMessage>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSettings>
#include <QShortcut>
#include <QScopeGuard>
#include <QThreadPool>

#include <libusb.h>

#include <cerrno>

// Resources live in the static library; make sure they are registered before
// the form asks for the window icon.
static void initVornicResources()
{
    Q_INIT_RESOURCE(vornic);
}

namespace {

const char organizationName[] = "Ordane";
const char settingsApplication[] = "Vornic";
const int defaultPort = 10102;

// Qt::Dialog | MSWindowsFixedSizeDialogHint | WindowTitleHint |
// WindowSystemMenuHint | WindowMinimizeButtonHint | WindowMaximizeButtonHint |
// MaximizeUsingFullscreenGeometryHint | WindowCloseButtonHint
const int fixedDialogFlags = 0x0840F103;
// Ctrl+Shift+T
const int traceShortcut = 0x06000054;

// The network record a row's data holds, or null. Only network rows hold a
// void*; USB rows hold an integer and serial rows a port description, and
// neither may ever be taken for a record.
NetworkDevice *networkDeviceIn(const QVariant &data)
{
    if (data.userType() != QMetaType::VoidStar)
        return nullptr;
    return static_cast<NetworkDevice *>(data.value<void *>());
}

NetworkDevice *networkDeviceOf(const QListWidgetItem *row)
{
    return row ? networkDeviceIn(row->data(Qt::UserRole)) : nullptr;
}

// The libusb device a USB row's data holds (a pointer-sized integer), or null.
libusb_device *usbDeviceIn(const QVariant &data)
{
    if (data.userType() != qMetaTypeId<quintptr>())
        return nullptr;
    return reinterpret_cast<libusb_device *>(data.value<quintptr>());
}

libusb_device *usbDeviceOf(const QListWidgetItem *row)
{
    return row ? usbDeviceIn(row->data(Qt::UserRole)) : nullptr;
}

} // namespace

CMNDialog::CMNDialog(QWidget *parent)
    : QMainWindow(parent)
{
    initVornicResources();

    ui = new Ui_CMNDialog();
    ui->setupUi(this);

    deviceNames = DeviceCatalog::deviceNames();

    ui->loadImg->setEnabled(false);
    ui->progressBar->setValue(0);
    ui->listWidget->setContextMenuPolicy(Qt::CustomContextMenu);

    // The actions and the emitter outlive every job the window starts; they
    // are parented to the window so that they are released with it.
    deleteAction = new QAction(QStringLiteral("Delete"), this);
    refreshAction = new QAction(QStringLiteral("Refresh List"), this);
    contextMenu.addAction(deleteAction);
    contextMenu.addAction(refreshAction);
    contextMenu.addSeparator();
    verifyAction = new QAction(QStringLiteral("Verify After Writing"), this);
    verifyAction->setCheckable(true);
    contextMenu.addAction(verifyAction);
    // The updates written so far, by this window and by vornic-cli.
    connect(contextMenu.addAction(QStringLiteral("History...")), &QAction::triggered, this, [this] {
        auto *history = new HistoryDialog(QStringLiteral("vornic"), settings->fileName(), this);
        history->setAttribute(Qt::WA_DeleteOnClose);
        history->show();
    });
    connect(verifyAction, &QAction::toggled, this, [this](bool on) {
        if (settings) {
            settings->setValue(QLatin1String(verifyKey), on);
            settings->sync();
        }
    });
    connect(deleteAction, &QAction::triggered, this, &CMNDialog::deleteFromWidget);
    connect(refreshAction, &QAction::triggered, this, &CMNDialog::enumDevices);

    emitter = new Emitter(this);
    detachIssued = false;
    updateOwner = new TwoPhaseUpdate(emitter, this);
    // The owner's reconnection state, shown in the window's members of the
    // same names.
    connect(updateOwner, &TwoPhaseUpdate::reconnectionChanged, this, [this] {
        const TwoPhaseUpdate::Reconnection state = updateOwner->reconnection();
        detachIssued = state.detachIssued;
        detachedBusNumber = state.detachedBusNumber;
        detachedPortNumber = state.detachedPortNumber;
        reconnectMode = state.reconnectMode;
        pendingSerialNumber = state.pendingSerialNumber;
    });

    QFile styleFile(QStringLiteral(":/styles.css"));
    if (styleFile.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = styleFile.readAll();
        // Up to the first NUL, as Latin-1.
        qApp->setStyleSheet(QString::fromLatin1(bytes.constData()));
        styleFile.close();
    }

    traceDialog = new QDialog(this);
    traceDialog->setWindowTitle(QStringLiteral("Trace"));
    auto *shortcut = new QShortcut(QKeySequence(traceShortcut), this);
    connect(shortcut, &QShortcut::activated, this, &CMNDialog::keyCtrlDPressed);
    traceDialog->setGeometry(300, 300, 300, 300);
    traceEdit = new QPlainTextEdit();
    traceEdit->setFont(QFont(QStringLiteral("Helvetica"), 9));
    traceEdit->setMaximumBlockCount(TraceLineLimit);
    traceDialog->setModal(false);
    auto *traceLayout = new QHBoxLayout();
    traceLayout->addWidget(traceEdit);
    traceDialog->setLayout(traceLayout);

    qDebug() << size();

    connect(ui->listWidget, &QWidget::customContextMenuRequested, this, &CMNDialog::showContextMenu);
    connect(ui->loadImg, &QAbstractButton::clicked, this, &CMNDialog::btnLoadImageClicked);
    connect(ui->listWidget, &QListWidget::itemClicked, this, &CMNDialog::selectUSBDevice);
    connect(ui->listWidget, &QListWidget::currentRowChanged, this, &CMNDialog::checkDeviceList);
    connect(ui->updBtn, &QAbstractButton::clicked, this, &CMNDialog::onUpdBtnClicked);
    connect(ui->addNetworkDeviceBtn, &QAbstractButton::clicked, this, &CMNDialog::openConnectDialog);
    setWindowFlags(Qt::WindowFlags(fixedDialogFlags));
    connect(emitter, &Emitter::load_start, ui->progressBar, &QProgressBar::setRange);
    connect(emitter, &Emitter::load_progress, ui->progressBar, &QProgressBar::setValue);
    connect(emitter, &Emitter::errorSignal, this, &CMNDialog::displayWarnings);
    connect(emitter, &Emitter::load_finish, this, &CMNDialog::btnsOn);
    connect(&watcher, &QFutureWatcherBase::finished, this, &CMNDialog::btnsOn);
    connect(&watcher, &QFutureWatcherBase::canceled, this, &CMNDialog::btnsOn);
    connect(&watcher, &QFutureWatcherBase::finished, this, &CMNDialog::usbJobEnded);
    connect(updateOwner, &TwoPhaseUpdate::returnTimedOut, this, &CMNDialog::reconnectionTimedOut);
    connect(&signalWatch, &QTimer::timeout, this, [this] {
        if (InterruptSignal::requested()) {
            signalWatch.stop();
            stopForSignal();
        }
    });
    signalWatch.start(100);

    detachedBusNumber = -1;
    reconnectMode = -1;

    registerUsbNotification();

    const int result = UsbDeviceList::initContext(&usbContext);
    if (result != 0) {
        usbContext = nullptr;
        showStatusError(QStringLiteral("Cannot initialize libusb"), result);
    }

    setTitle();
    enumDevices();
    dfuInit(5000);
    loadSettings();
    ui->lineEdit->setText(imagePath);
    updateUpdateButton();
}

CMNDialog::~CMNDialog()
{
    // A USB job may still use the window's members; never pull them away
    // under it, even when the window is destroyed without being closed.
    const bool jobRunning = future.isRunning();
    future.waitForFinished();
    // The update in progress ends in the history with the window: as its
    // job ended, or stopped (while its device was restarting, say).
    if (jobRunning)
        recordOutcome(updateOwner->usbOutcome(future.result()));
    recordOutcome(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("the window was closed before the update ended")));

    ui->listWidget->clear();
    delete ui->listWidget;
    delete traceDialog;
    traceDialog = nullptr;
    delete notificationHandle;
    notificationHandle = nullptr;
    releaseUsbRowDevices();
    if (usbContext)
        libusb_exit(usbContext);
    usbContext = nullptr;
    delete ui;
}

void CMNDialog::setTitle()
{
    QCoreApplication::setApplicationName(QStringLiteral("Ordane Vornic"));
    QCoreApplication::setApplicationVersion(QStringLiteral(" v" ORDANE_VERSION));
    setWindowTitle(QStringLiteral("%1 %2").arg(QCoreApplication::applicationName(),
                                                 QCoreApplication::applicationVersion()));
}

void CMNDialog::loadSettings()
{
    settings = new QSettings(QSettings::IniFormat, QSettings::UserScope,
                             QLatin1String(organizationName), QLatin1String(settingsApplication), this);

    const QVariant ip = settings->value(QLatin1String(lastIpKey));
    if (!ip.isNull())
        lastIp = ip.toString();

    const QVariant port = settings->value(QLatin1String(portKey));
    lastPort = port.isNull() ? defaultPort : port.toInt();

    imagePath = settings->value(QLatin1String(filenameKey)).toString();
    verifyAction->setChecked(settings->value(QLatin1String(verifyKey), false).toBool());

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1)
        imagePath = arguments.at(1);

    if (!imagePath.isEmpty())
        imageDir = QFileInfo(imagePath).absolutePath();
}

bool CMNDialog::registerUsbNotification()
{
    notificationHandle = new UsbHotplugMonitor(this);
    if (!notificationHandle->start()) {
        qDebug() << "Error: Failed to register device notification!";
        delete notificationHandle;
        notificationHandle = nullptr;
        return true;
    }
    connect(notificationHandle, &UsbHotplugMonitor::deviceArrived, this,
            [this](const QString &path) { handleDeviceChange(true, path); });
    connect(notificationHandle, &UsbHotplugMonitor::deviceRemoved, this,
            [this](const QString &path) { handleDeviceChange(false, path); });
    // A serial port that shows up after its USB device was handled.
    connect(notificationHandle, &UsbHotplugMonitor::serialPortsChanged, this, &CMNDialog::enumDevices);
    return true;
}

void CMNDialog::handleDeviceChange(bool arrival, const QString &interfacePath)
{
    // The path starts with "\\?\USB"; what follows is "#VID_xxxx&PID_xxxx",
    // "#<serial>" and "#{class GUID}".
    const QString rest = interfacePath.mid(7);
    if (rest.isEmpty())
        return;
    QStringList parts = rest.split(QLatin1Char('#'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    parts.removeLast();
    QString line = parts.join(QLatin1Char(' '));
    line += arrival ? QLatin1String(" device connected") : QLatin1String(" device disconnected");

    qDebug().noquote() << line;
    traceEdit->appendPlainText(line);

    if (arrival)
        deviceConnected();
    else
        enumDevices();
}

void CMNDialog::closeEvent(QCloseEvent *event)
{
    // A transfer cut short leaves the device without working firmware. The
    // window stays, painting and saying why, until the USB job has ended,
    // and then closes by itself.
    if (future.isRunning()) {
        if (!closeRequested) {
            closeRequested = true;
            emit stopThread();
            ui->progressBar->setFormat(QStringLiteral("Finishing the transfer before closing... %p%"));
        }
        event->ignore();
        return;
    }
    if (workersActive) {
        emit stopThread();
        QThreadPool::globalInstance()->waitForDone(-1);
    }
    event->accept();
}

void CMNDialog::stopForSignal()
{
    // A running job says its own end; anything else ends here.
    if (!future.isRunning())
        recordOutcome(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("the program was told to end")));
    updateOwner->stop();
    emit stopThread();
    if (future.isRunning()) {
        closeRequested = true;
        ui->progressBar->setFormat(QStringLiteral("Stopping the transfer before closing... %p%"));
    }
    close();
}

void CMNDialog::watchUsbJob(const QFuture<int> &job)
{
    workersActive = true;
    future = job;
    watcher.setFuture(future);
}

void CMNDialog::setUpdateControlsEnabled(bool enabled)
{
    ui->updBtn->setEnabled(enabled);
    ui->loadImg->setEnabled(enabled);
    contextMenu.setEnabled(enabled);
}

void CMNDialog::usbJobEnded()
{
    workersActive = false;
    if (closeRequested) {
        // Nothing more is written once the user has asked to close, not even
        // the second phase of a two-phase update.
        updateOwner->stop();
        updateOwner->usbEnded(future.result());
        recordOutcome(updateOwner->usbOutcome(future.result()));
        close();
        return;
    }
    updateOwner->usbEnded(future.result());
    if (updateOwner->awaitingReturn()) {
        awaitReconnection();
        // The device may have come back while the job still ran; its arrival
        // was put off then.
        deviceConnected();
        return;
    }
    // The controls come back now that nothing is in progress.
    btnsOn();
    const UpdateOutcome outcome = updateOwner->usbOutcome(future.result());
    const auto record = qScopeGuard([this, &outcome] { recordOutcome(outcome); });
    showUpdateOutcome(outcome.wroteImage(),
                      outcome.kind() == UpdateOutcome::Verified        ? QStringLiteral(", verified")
                      : outcome.kind() == UpdateOutcome::NotVerifiable ? QStringLiteral(", not verified")
                      : !outcome.reason().isEmpty()                    ? QStringLiteral(", not confirmed by the device")
                                                                       : QString(),
                      outcome.reason());
}

bool CMNDialog::updateInProgress() const
{
    return future.isRunning() || updateOwner->inProgress();
}

void CMNDialog::awaitReconnection()
{
    ui->progressBar->setFormat(QStringLiteral("Waiting for the device to restart in its bootloader..."));
}

void CMNDialog::reconnectionTimedOut()
{
    abandonReconnection(UpdateOutcome(UpdateOutcome::Timeout,
                                      QStringLiteral("The device did not come back in its bootloader within %1 seconds. "
                                                     "The firmware was not updated; check the device and press \"Update "
                                                     "Firmware\" again.")
                                          .arg(updateOwner->returnTimeout() / 1000.0)));
}

void CMNDialog::abandonReconnection(const UpdateOutcome &outcome)
{
    updateOwner->abandon();
    showUpdateOutcome(false);
    recordOutcome(outcome);
    btnsOn();
    displayWarnings(outcome.reason());
}

void CMNDialog::showUpdateOutcome(bool success, const QString &note, const QString &why)
{
    QProgressBar *bar = ui->progressBar;
    bar->setToolTip(success ? PlainTextBox::toolTip(why) : QString());
    // An image of a single block leaves an empty range, which the bar would
    // show as a busy indicator for ever.
    if (bar->maximum() <= bar->minimum())
        bar->setRange(0, 1);
    bar->setValue(success ? bar->maximum() : bar->minimum());
    bar->setFormat(success ? QStringLiteral("Update complete") + note : QStringLiteral("Update failed"));
}

void CMNDialog::btnsOn()
{
    if (updateInProgress())
        return;
    setUpdateControlsEnabled(true);
}

void CMNDialog::checkDeviceList()
{
    const bool rowSelected = ui->listWidget->currentRow() != -1;
    const bool enabled = rowSelected && !updateInProgress();
    ui->loadImg->setEnabled(enabled);
    ui->updBtn->setEnabled(enabled);
}

void CMNDialog::updateUpdateButton()
{
    if (ui->listWidget->currentRow() == -1 || updateInProgress())
        ui->updBtn->setEnabled(false);
    else
        ui->updBtn->setEnabled(!ui->lineEdit->text().isEmpty());
}

void CMNDialog::showContextMenu(QPoint pos)
{
    const QPoint globalPos = ui->listWidget->mapToGlobal(pos);
    deleteAction->setVisible(ui->listWidget->count() > 0);
    refreshAction->setVisible(true);
    contextMenu.exec(globalPos);
}

void CMNDialog::keyCtrlDPressed()
{
    if (traceDialog->isHidden())
        traceDialog->show();
    else
        traceDialog->hide();
}

void CMNDialog::displayWarnings(QString w)
{
    PlainTextBox::warning(nullptr, QStringLiteral("Warning!"), w);
}

void CMNDialog::slotError()
{
    QMessageBox::critical(nullptr, tr("Vornic"), tr("Firmware upload failed"), QMessageBox::Ok,
                          QMessageBox::NoButton);
}

void CMNDialog::showStatusError(const QString &text, int code)
{
    // A status of 0 means the failing call only left its reason in the
    // system's last error.
    if (code == 0)
        code = errno;
    QErrorMessage box;
    box.showMessage(QStringLiteral("%1 Status=%2").arg(text).arg(code));
    box.exec();
}

// ---------------------------------------------------------------------------
// Device list

void CMNDialog::addListEntry(const QString &text, const QVariant &data)
{
    auto *row = new QListWidgetItem(text);
    row->setData(Qt::UserRole, data);
    row->setText(text);
    ui->listWidget->insertItem(ui->listWidget->count(), row);
    ui->listWidget->setCurrentItem(row);
}

void CMNDialog::addNetworkEntry(NetworkDevice *device)
{
    const QString text = DeviceCatalog::networkRowText(device->type(), device->serialNumber(), device->ip());
    addListEntry(text, QVariant::fromValue(static_cast<void *>(device)));
}

void CMNDialog::addNetworkEntries()
{
    for (NetworkDevice *device : qAsConst(networkDevices))
        addNetworkEntry(device);
}

int CMNDialog::enumDevices()
{
    // Neither a USB job nor a network upload may lose its row under it.
    if (future.isRunning() || updateOwner->phase() == TwoPhaseUpdate::Writing) {
        qDebug() << "blocked";
        return 0;
    }

    // "Refresh List" asks every network device again; any other refresh
    // (start-up, hot-plug, after an update) rebuilds their rows from the
    // records.
    const auto *action = qobject_cast<QAction *>(sender());
    // While a device is being checked (for the add dialog) its report must
    // meet it: the other devices are not asked meanwhile.
    const bool requery = action && action->text().contains(QLatin1String("Refresh List")) && !pendingDevice;

    ui->listWidget->clear();
    listUsbDevices();
    listSerialPorts();
    if (requery)
        checkConnection();
    else
        addNetworkEntries();

    if (ui->listWidget->count() > 0)
        ui->listWidget->setCurrentRow(0);
    updateUpdateButton();
    return 0;
}

void CMNDialog::checkConnection()
{
    const QVector<NetworkDevice *> known = networkDevices;
    networkDevices.clear();
    for (NetworkDevice *device : known) {
        pendingDevice = device;
        queryNetworkDevice(device);
        // addNetworkDeviceToList ends the wait with this device's answer.
        eventLoop.exec();
    }
}

void CMNDialog::deleteFromWidget()
{
    // The device of an update in progress stays, row and record.
    if (updateInProgress()) {
        qDebug() << "update in progress: nothing is deleted";
        return;
    }
    QListWidgetItem *current = ui->listWidget->currentItem();
    NetworkDevice *device = networkDeviceOf(current);

    if (device) {
        const QString ip = device->ip();
        QVector<NetworkDevice *> removed;
        const QVector<NetworkDevice *> known = networkDevices;
        for (NetworkDevice *candidate : known) {
            if (candidate->ip() != ip)
                continue;
            networkDevices.removeOne(candidate);
            if (candidate == pendingDevice)
                pendingDevice = nullptr;
            removed.append(candidate);
        }
        // Other rows of the removed records would point at deleted objects;
        // take them out together with the current row.
        for (int row = ui->listWidget->count() - 1; row >= 0; --row) {
            QListWidgetItem *item = ui->listWidget->item(row);
            if (item != current && removed.contains(networkDeviceOf(item)))
                delete ui->listWidget->takeItem(row);
        }
        qDeleteAll(removed);
    }

    if (current)
        delete ui->listWidget->takeItem(ui->listWidget->row(current));
}

void CMNDialog::selectUSBDevice(QListWidgetItem *item)
{
    if (item && item->listWidget())
        item->setSelected(true);
    updateUpdateButton();
}

void CMNDialog::deviceConnected()
{
    enumDevices();
    if (!updateOwner->returnPending())
        return;
    // While a job runs the list was not refreshed: its rows may name devices
    // that have left the bus, and a second job must not start beside it. The
    // end of the job looks again.
    if (future.isRunning()) {
        qDebug() << "reconnection deferred: a USB job is running";
        return;
    }

    // Only the device that was told to restart is written; it stays
    // awaited until it is there.
    const TwoPhaseUpdate::Arrival arrival = updateOwner->arrived(inventory.usb());
    if (arrival.action == TwoPhaseUpdate::Arrival::Abandoned) {
        abandonReconnection(arrival.outcome);
        return;
    }
    if (arrival.action != TwoPhaseUpdate::Arrival::Write)
        return;
    libusb_device *device = inventory.usb().at(arrival.index).device;
    for (int row = 0; row < ui->listWidget->count(); ++row) {
        if (usbDeviceOf(ui->listWidget->item(row)) == device) {
            startUsbUpdate(device, row);
            return;
        }
    }
}

void CMNDialog::checkConnectionTaskFinished(QByteArray reply)
{
    const QString text = StatusWordCounter::hasOkWord(reply) ? QStringLiteral("Device connected")
                                              : QStringLiteral("Device disconnected");
    PlainTextBox::warning(nullptr, QStringLiteral("Vornic"), text);
}

bool CMNDialog::isNetworkDevice() const
{
    return currentNetworkDevice() != nullptr;
}

NetworkDevice *CMNDialog::currentNetworkDevice() const
{
    return networkDeviceOf(ui->listWidget->currentItem());
}

// ---------------------------------------------------------------------------
// Update dispatch

void CMNDialog::onUpdBtnClicked()
{
    // The update controls are off while an update is in progress, so no
    // press comes from them; whatever else calls this starts nothing either.
    if (updateInProgress()) {
        qDebug() << "update in progress: the press starts nothing";
        return;
    }
    const QListWidgetItem *current = ui->listWidget->currentItem();
    if (!current)
        return;
    // The questions below and the local-server pause run event loops, in
    // which a hot-plug refresh may delete the row and release the libusb
    // device it names: only what is read here is used afterwards.
    const QVariant data = current->data(Qt::UserRole);
    const QString text = current->text();
    const quint64 listing = inventory.generation();
    // The image is the one the field shows, typed or chosen: the questions
    // below judge that one, so it is the one that is sent.
    const QString shown = ui->lineEdit->text().trimmed();
    if (shown.isEmpty()) {
        askButtons(QMessageBox::Information, QStringLiteral("Vornic"), QStringLiteral("Choose a firmware image first."),
                   { QStringLiteral("OK") }, 0, 0, this,
                   QStringLiteral("\"Load Image\" chooses it; the list of images offered follows the device."));
        return;
    }
    if (shown != imagePath) {
        imagePath = shown;
        settings->setValue(QLatin1String(filenameKey), QDir().absoluteFilePath(imagePath));
    }
    if (!confirmUpdate())
        return;

    const bool serial = data.userType() == qMetaTypeId<QSerialPortInfo>();
    NetworkDevice *networkDevice = networkDeviceIn(data);
    libusb_device *usbDevice = serial || networkDevice ? nullptr : usbDeviceIn(data);
    // A row that names no device has no road.
    if (!serial && !networkDevice && !usbDevice)
        return;
    // Checked before the device is told anything: on the two-phase roads it
    // would otherwise restart into its bootloader for nothing, and no road
    // has any use for an empty image.
    const FirmwareImage image = FirmwareImage::read(imagePath);
    if (!image.problem().isEmpty()) {
        displayWarnings(image.problem());
        return;
    }
    updateOwner->begin(image, verifyAction->isChecked());

    // Locked before the local-server step: it processes events for a while,
    // and a second press must not start a second update meanwhile.
    setUpdateControlsEnabled(false);
    nudgeLocalServer(text);

    const QString model = DeviceCatalog::modelOf(text);
    if (serial) {
        const QSerialPortInfo port = data.value<QSerialPortInfo>();
        updateOwner->recordStart(QStringLiteral("serial"), model, port.serialNumber(), port.portName());
        enterSerialBootloader(port);
        return;
    }
    if (networkDevice) {
        updateOwner->recordStart(QStringLiteral("network"), model, networkDevice->serialNumber(),
                                 networkDevice->where());
        uploadNetworkDevice(networkDevice);
        return;
    }
    // A rebuilt list has released the devices of the old one.
    if (inventory.generation() != listing) {
        displayWarnings(QStringLiteral("The device list changed while the update was starting. Select the device "
                                       "and press \"Update Firmware\" again."));
        btnsOn();
        return;
    }
    for (const UsbDeviceEntry &entry : inventory.usb()) {
        if (entry.device == usbDevice)
            updateOwner->recordStart(QStringLiteral("usb"), model, entry.serialNumber, entry.portPath);
    }
    startUsbJob(usbDevice);
}

void CMNDialog::recordOutcome(const UpdateOutcome &outcome)
{
    updateOwner->recordEnd(outcome, ui->progressBar->format() + QLatin1Char(' ') + outcome.reason());
    const QString problem = updateOwner->takeHistoryProblem();
    if (!problem.isEmpty())
        traceEdit->appendPlainText(problem);
}
