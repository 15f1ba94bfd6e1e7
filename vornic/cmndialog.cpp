#include "cmndialog.h"

#include "backupreport.h"
#include "ui_cmndialog.h"
#include "updateoutcome.h"
#include "filenames.h"

#include "devicecatalog.h"
#include "historydialog.h"
#include "emitter.h"
#include "interruptsignal.h"
#include "usb/dfuprotocol.h"
#include "usb/usbdevicelist.h"
#include "tracelines.h"
#include "usbhotplugmonitor.h"

#include "plaintextbox.h"
#include "stationwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDialog>
#include <QErrorMessage>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSettings>
#include <QShortcut>
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
    backupAction = new QAction(QStringLiteral("Back Up Before Writing"), this);
    backupAction->setCheckable(true);
    contextMenu.addAction(backupAction);
    // The updates written so far, by this window and by vornic-cli.
    connect(contextMenu.addAction(QStringLiteral("History...")), &QAction::triggered, this, [this] {
        auto *history = new HistoryDialog(QStringLiteral("vornic"), settings->fileName(), this);
        history->setAttribute(Qt::WA_DeleteOnClose);
        connect(history, &HistoryDialog::restoreRequested, this, &CMNDialog::restoreFromHistory);
        history->show();
    });
    // Every device plugged in is written, in a window of its own.
    connect(contextMenu.addAction(QStringLiteral("Production Station...")), &QAction::triggered, this,
            &CMNDialog::openStation);
    for (const auto &[action, key] : { std::make_pair(verifyAction, verifyKey), std::make_pair(backupAction, backupKey) }) {
        connect(action, &QAction::toggled, this, [this, key = key](bool on) {
            if (settings) {
                settings->setValue(QLatin1String(key), on);
                settings->sync();
            }
        });
    }
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
    connect(updateOwner, &TwoPhaseUpdate::finished, this, &CMNDialog::usbJobEnded);
    // The backup store is never pruned unasked: its size past the bound is
    // said, once a window.
    connect(updateOwner, &TwoPhaseUpdate::backedUp, this, [this](const QString &sha256, qint64 size) {
        traceEdit->appendPlainText(QStringLiteral("Backed up what the device held: %1 bytes, SHA-256 %2.")
                                       .arg(size).arg(sha256));
        const QString over = storeSaidTooLarge ? QString() : BackupReport::storeTooLarge(settings->fileName());
        storeSaidTooLarge = !over.isEmpty();
        if (storeSaidTooLarge)
            displayWarnings(over);
    });
    connect(updateOwner, &TwoPhaseUpdate::returnAwaited, this, [this] {
        awaitReconnection();
        // The device may have come back while the job still ran; its arrival
        // was put off then.
        deviceConnected();
    });
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

    // The inventory holds the window's libusb context (a fresh one for each
    // listing).
    const int result = inventory.open();
    if (result != 0)
        showStatusError(QStringLiteral("Cannot initialize libusb"), result);

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
    const UpdateOutcome jobEnd = updateOwner->waitForUsbJob();
    // The update in progress ends in the history with the window: as its
    // job ended, or stopped (while its device was restarting, say).
    if (jobEnd.kind() != UpdateOutcome::NotStarted)
        recordOutcome(jobEnd);
    else if (updateOwner->recordOpen())
        recordOutcome(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("the window was closed before the update ended")));

    ui->listWidget->clear();
    delete ui->listWidget;
    delete traceDialog;
    traceDialog = nullptr;
    delete notificationHandle;
    notificationHandle = nullptr;
    // (The inventory releases the rows' devices, then its libusb context.)
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
    backupAction->setChecked(settings->value(QLatin1String(backupKey), false).toBool());

    const QStringList arguments = FileNames::arguments();
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
    // The station's devices being written stop cleanly first; the window
    // closes when they have.
    if (stationBusy()) {
        closeRequested = true;
        stationWindow->stop();
        if (stationBusy()) {
            event->ignore();
            return;
        }
    }
    // A transfer cut short leaves the device without working firmware. The
    // window stays, painting and saying why, until the USB job has ended,
    // and then closes by itself.
    if (updateOwner->usbJobRunning()) {
        if (!closeRequested) {
            closeRequested = true;
            // Nothing more is written once the user has asked to close, not
            // even the second phase of a two-phase update.
            updateOwner->endWithUsbJob();
            emit stopThread();
            ui->progressBar->setFormat(QStringLiteral("Finishing the transfer before closing... %p%"));
        }
        event->ignore();
        return;
    }
    // A network upload runs in this thread's event loop, under this call.
    if (updateOwner->phase() == TwoPhaseUpdate::Writing) {
        emit stopThread();
        QThreadPool::globalInstance()->waitForDone(-1);
    }
    event->accept();
}

void CMNDialog::stopForSignal()
{
    // A running job says its own end; anything else ends here.
    const bool jobRunning = updateOwner->usbJobRunning();
    if (!jobRunning && updateOwner->recordOpen())
        recordOutcome(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("the program was told to end")));
    if (stationWindow)
        stationWindow->stop();
    updateOwner->stop();
    emit stopThread();
    if (jobRunning) {
        closeRequested = true;
        ui->progressBar->setFormat(QStringLiteral("Stopping the transfer before closing... %p%"));
    }
    close();
}

void CMNDialog::showContextMenu(QPoint pos)
{
    const QPoint globalPos = ui->listWidget->mapToGlobal(pos);
    deleteAction->setVisible(ui->listWidget->count() > 0);
    refreshAction->setVisible(true);
    contextMenu.exec(globalPos);
}

void CMNDialog::openStation()
{
    if (!stationWindow) {
        stationWindow = new StationWindow(settings, this);
        connect(stationWindow, &StationWindow::busyChanged, this, [this](bool busy) {
            if (busy) {
                setUpdateControlsEnabled(false);
                return;
            }
            if (closeRequested) {
                close();
                return;
            }
            // What was plugged in or out meanwhile shows now.
            enumDevices();
            btnsOn();
        });
        stationWindow->setStartAllowed(!updateOwner->inProgress());
    }
    stationWindow->show();
    stationWindow->raise();
    stationWindow->activateWindow();
}

bool CMNDialog::stationBusy() const
{
    return stationWindow && stationWindow->busy();
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
