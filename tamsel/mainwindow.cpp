#include "mainwindow.h"

#include "backupstore.h"

#include <cerrno>
#include "ui_mainwindow.h"

#include "emitter.h"
#include "historydialog.h"
#include "interruptsignal.h"
#include "logbrowser.h"
#include "padtransfer.h"
#include "usbhotplugmonitor.h"

#include "plaintextbox.h"

#include <QAction>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QThreadPool>
#include <QtConcurrent>

static void initTamselResources()
{
    Q_INIT_RESOURCE(tamsel);
}

namespace {

const char connectionTypeKey[] = "settings/connection_type";
const char addressKey[] = "settings/address";
const char filenameKey[] = "settings/filename";
const char verifyKey[] = "settings/verify";
const char backupKey[] = "settings/backup";
const int defaultAddress = 80;          // 0x50
const char adapterVendor[] = "VID_04D8";
const char notConnected[] = "SUB-20 not connected!";
const char stillEnding[] = "The previous update is still ending. Try again in a moment.";
// Qt::Dialog | MSWindowsFixedSizeDialogHint | WindowSystemMenuHint |
// WindowMinimizeButtonHint | WindowMaximizeButtonHint | WindowCloseButtonHint
// and 0x00400000.
const int fixedWindowFlags = 0x0840E103;
// Ctrl+Shift+]
const int traceShortcut = 0x0600005D;
const char progressStyle[] =
    "QProgressBar{border: 1px solid grey; text-align: center; border-radius: 0; background: QLinearGradient( x1: 0, "
    "y1: 0, x2: 0, y2: 1, stop: 0 #fff, stop: 0.4999 #eee, stop: 0.5 #ddd, stop: 1 #eee );    }QProgressBar::chunk "
    "{background: QLinearGradient( x1: 0, y1: 0, x2: 0, y2: 1,stop: 0 #34c0c0,stop: 0.4999 #6ad7d7,stop: 0.5 "
    "#6ad7d7,stop: 1 #248484 );border: 0px;}";

// The trace window that the message handler feeds while capture is on.
QPointer<LogBrowser> traceBrowser;
bool handlerInstalled = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (traceBrowser)
        traceBrowser->outputMessage(type, text);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    initTamselResources();
    ui->setupUi(this);
    updBtn = ui->updBtn;
    loadImg = ui->loadImg;
    progressBar = ui->progressBar;
    lineEdit = ui->lineEdit;
    labelDevName = ui->labelDevName;
    spinBoxAdress = ui->spinBoxAdress;
    setWindowFlags(Qt::WindowFlags(fixedWindowFlags));
    setWindowTitle(QStringLiteral("Tamsel 1.0.0"));

    updBtn->setText(QStringLiteral("Start Update"));
    progressBar->setValue(0);
    progressBar->setStyleSheet(QLatin1String(progressStyle));
    progressBar->setFormat(QString());

    // Owned by the window, so that a window made and destroyed many times
    // (as the tests do) leaves nothing behind.
    emitter = new Emitter(this);
    loadSettings();
    padUpdate = std::make_unique<PadUpdate>(QStringLiteral("tamsel"), settings->fileName(), emitter);
    padUpdate->setBackedUp(
        [this] { QMetaObject::invokeMethod(this, [this] { padUpdate->noteBackup(); }, Qt::QueuedConnection); });
    registerDeviceNotification();
    connect(loadImg, &QAbstractButton::clicked, this, &MainWindow::btnLoadImageClicked);
    connect(updBtn, &QAbstractButton::clicked, this, &MainWindow::onUpdBtnClicked);
    connect(emitter, &Emitter::errorSignal, this, &MainWindow::reportError);
    connect(emitter, &Emitter::load_start, progressBar, &QProgressBar::setRange);
    connect(emitter, &Emitter::load_progress, this, &MainWindow::progressBarHandling);
    connect(&watcher, &QFutureWatcherBase::finished, this, &MainWindow::handleFinished);
    connect(&watcher, &QFutureWatcherBase::canceled, this, &MainWindow::handleFinished);
    // The spin box's text changes exactly when its value does.
    connect(spinBoxAdress, &QSpinBox::textChanged, this, &MainWindow::setAddress);
    connect(lineEdit, &QLineEdit::textChanged, this, &MainWindow::stringForUpdateButton);
    loadConnectionType();
    connect(ui->actionInfraRed, &QAction::triggered, this, &MainWindow::setConnectionType);
    connect(ui->actionModbus, &QAction::triggered, this, &MainWindow::setConnectionType);

    // A signal only raises a flag (the handler can do nothing else safely):
    // looked at here, often enough to feel immediate.
    connect(&signalWatch, &QTimer::timeout, this, [this] {
        if (InterruptSignal::requested()) {
            signalWatch.stop();
            stopForSignal();
        }
    });
    signalWatch.start(100);

    QMenu *options = menuBar()->addMenu(QStringLiteral("Options"));
    verifyAction = options->addAction(QStringLiteral("Verify After Writing"));
    backupAction = options->addAction(QStringLiteral("Back Up Before Writing"));
    for (const auto &[action, key] : { std::make_pair(verifyAction, verifyKey), std::make_pair(backupAction, backupKey) }) {
        action->setCheckable(true);
        action->setChecked(settings->value(QLatin1String(key), false).toBool());
        connect(action, &QAction::toggled, this, [this, key = key](bool on) {
            settings->setValue(QLatin1String(key), on);
            settings->sync();
        });
    }
    // The updates written so far, by this window and by tamsel-cli.
    connect(options->addAction(QStringLiteral("History...")), &QAction::triggered, this, [this] {
        auto *history = new HistoryDialog(QStringLiteral("tamsel"), settings->fileName(), this);
        history->setAttribute(Qt::WA_DeleteOnClose);
        connect(history, &HistoryDialog::restoreRequested, this, &MainWindow::restoreFromHistory);
        history->show();
    });

    logBrowser = new LogBrowser(this, this);
    traceBrowser = logBrowser;
    handlerInstalled = false;

    auto *shortcut = new QShortcut(QKeySequence(traceShortcut), this);
    shortcut->setContext(Qt::ApplicationShortcut);
    connect(shortcut, &QShortcut::activated, this, &MainWindow::logHotKeyPressed);

    openAdapter();
}

MainWindow::~MainWindow()
{
    // A run uses the window's state to its end: stop it and wait for it.
    stopRequested = true;
    future.waitForFinished();
    {
        const std::lock_guard<std::mutex> ended(runMutex);
    }
    // Its row says how it ended, not that the program died during it.
    if (future.isFinished() && future.resultCount() > 0)
        finishHistoryRow();
    if (handlerInstalled) {
        qInstallMessageHandler(nullptr);
        handlerInstalled = false;
    }
    releaseRetiredAdapters();
    sub_close(adapterHandle.exchange(nullptr));
    delete ui;
}

void MainWindow::loadSettings()
{
    settings = new QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"),
                             QStringLiteral("Tamsel"), this);
    imageFileName = settings->value(QLatin1String(filenameKey)).toString();
    if (!imageFileName.isEmpty()) {
        lastImageDir = QFileInfo(imageFileName).absolutePath();
        lineEdit->setText(imageFileName);
    }
    stopRequested = false;
    adapterHandle = nullptr;
    if (!settings->contains(QLatin1String(addressKey))) {
        slaveAddress = defaultAddress;
        settings->setValue(QLatin1String(addressKey), defaultAddress);
        settings->sync();
    } else {
        slaveAddress = settings->value(QLatin1String(addressKey)).toInt();
    }
    // The spin box shows the address's hexadecimal digits read as a decimal
    // number: 80 shows as 0x50; an address with a letter digit shows 0x0.
    spinBoxAdress->blockSignals(true);
    spinBoxAdress->setValue(QString::number(slaveAddress, 16).toInt());
    spinBoxAdress->blockSignals(false);
    updateButtonState();
}

void MainWindow::registerDeviceNotification()
{
    notificationHandle = new UsbHotplugMonitor(this);
    if (!notificationHandle->start()) {
        qDebug() << "Error: Failed to register device notification!";
        QCoreApplication::quit();
        return;
    }
    connect(notificationHandle, &UsbHotplugMonitor::deviceArrived, this,
            [this](const QString &path) { handleDeviceChange(true, path); });
    connect(notificationHandle, &UsbHotplugMonitor::deviceRemoved, this,
            [this](const QString &path) { handleDeviceChange(false, path); });
    connect(notificationHandle, &UsbHotplugMonitor::serialPortsChanged, this, &MainWindow::checkAdapterPort);
}

void MainWindow::handleDeviceChange(bool arrival, const QString &interfacePath)
{
    // An RS-485 converter stands for the adapter: only its own port comes
    // and goes with it (checkAdapterPort); another device of the adapter's
    // maker must not cut a run.
    if (!sub20AdapterPort().isEmpty())
        return;
    const QString rest = interfacePath.mid(7);
    if (rest.isEmpty() || !rest.contains(QLatin1String(adapterVendor), Qt::CaseInsensitive))
        return;
    QStringList parts = rest.split(QLatin1Char('#'), Qt::KeepEmptyParts);
    parts.removeLast();
    qDebug().noquote() << parts.join(QLatin1Char(' '))
            + (arrival ? QLatin1String(" device connected") : QLatin1String(" device disconnected"));
    if (arrival) {
        openAdapter();
        updateButtonState();
    } else {
        adapterRemoved();
    }
}

void MainWindow::showConnectionType(bool modbus)
{
    // A run keeps the address it began with.
    spinBoxAdress->setEnabled(modbus && !runUnfinished);
    ui->labelAdress->setEnabled(modbus);
    labelDevName->setText(modbus ? QStringLiteral("Connection via MODBUS") : QStringLiteral("Connection via INFRARED"));
}

void MainWindow::loadConnectionType()
{
    connectionType = settings->value(QLatin1String(connectionTypeKey)).toInt();
    if (connectionType == 0) {
        ui->actionInfraRed->setChecked(true);
        showConnectionType(false);
    } else if (connectionType == 1) {
        ui->actionModbus->setChecked(true);
        showConnectionType(true);
    }
    labelDevName->setStyleSheet(QStringLiteral("color: green; font-size: 9"));
}

void MainWindow::setConnectionType()
{
    auto *chosen = qobject_cast<QAction *>(sender());
    if (!chosen)
        return;
    for (QAction *action : ui->menuActions->actions())
        action->setChecked(false);
    chosen->setChecked(true);
    if (chosen->text().contains(QLatin1String("InfraRed"), Qt::CaseInsensitive)) {
        connectionType = 0;
        showConnectionType(false);
    } else if (chosen->text().contains(QLatin1String("ModBus"), Qt::CaseInsensitive)) {
        connectionType = 1;
        showConnectionType(true);
    }
    settings->setValue(QLatin1String(connectionTypeKey), connectionType);
    settings->sync();
}

void MainWindow::setAddress(QString text)
{
    bool ok = false;
    const int address = text.toInt(&ok, 16);
    slaveAddress = ok ? address : 0;
    settings->setValue(QLatin1String(addressKey), int(slaveAddress));
    settings->sync();
}

void MainWindow::btnLoadImageClicked()
{
    // A run still ending after the adapter's removal reads the image path.
    if (future.isRunning()) {
        reportError(QLatin1String(stillEnding));
        return;
    }
    const QString chosen = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Open firmware image"), lastImageDir,
                                                        QStringLiteral("*.INC"));
    // A cancelled dialog keeps the image chosen before.
    if (!chosen.isEmpty()) {
        imageFileName = chosen;
        settings->setValue(QLatin1String(filenameKey), QDir::current().absoluteFilePath(imageFileName));
        settings->sync();
        qDebug() << settings->value(QLatin1String(filenameKey)).toString();
        lineEdit->setText(imageFileName);
    }
    updateButtonState();
}

void MainWindow::stringForUpdateButton(QString)
{
    // A path typed into the field is an image as good as a chosen one.
    updateButtonState();
}

void MainWindow::updateButtonState()
{
    // While a run goes on, only Stop is offered; once stopped (or its
    // adapter removed) it may still be ending its last transaction, and
    // nothing starts, and nothing it uses changes, until it has.
    const bool running = runUnfinished;
    const bool stoppable = running && !stopRequested && updBtn->text() == QLatin1String("Stop");
    updBtn->setEnabled(stoppable || (!running && !lineEdit->text().isEmpty()));
    loadImg->setEnabled(!running);
    lineEdit->setReadOnly(running);
    spinBoxAdress->setEnabled(connectionType == 1 && !running);
}

void MainWindow::onUpdBtnClicked()
{
    if (lineEdit->text().isEmpty()) {
        updBtn->setEnabled(false);
        reportError(QStringLiteral("Image file not selected!"));
        return;
    }
    progressBar->setValue(0);
    if (updBtn->text().contains(QLatin1String("Start Update"))) {
        // After the adapter's removal the window is idle again while the
        // old run may still be ending: never two runs at once.
        if (future.isRunning()) {
            reportError(QLatin1String(stillEnding));
            return;
        }
        // No pad answers a broadcast: asked before, since nothing after it
        // will say whether the image arrived.
        if (connectionType == 1 && slaveAddress == 0) {
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Tamsel"),
                            QStringLiteral("Address 0x0 broadcasts the image to every pad on the line."),
                            QMessageBox::NoButton, this);
            box.setInformativeText(QStringLiteral("No pad answers a broadcast, so nothing tells whether the image "
                                                  "arrived, and every record waits 100 ms."));
            QPushButton *broadcast = box.addButton(QStringLiteral("Broadcast"), QMessageBox::AcceptRole);
            box.setEscapeButton(box.addButton(QMessageBox::Cancel));
            box.setDefaultButton(qobject_cast<QPushButton *>(box.escapeButton()));
            box.exec();
            if (box.clickedButton() != broadcast)
                return;
        }
        // The image is the one the field shows, also when it was typed.
        const QString shown = lineEdit->text().trimmed();
        if (shown != imageFileName) {
            imageFileName = shown;
            lastImageDir = QFileInfo(imageFileName).absolutePath();
            settings->setValue(QLatin1String(filenameKey), QDir::current().absoluteFilePath(imageFileName));
            settings->sync();
        }
        runVerify = verifyAction->isChecked();
        runBackup = backupAction->isChecked();
        runImage = FirmwareImage();
        runRestoredRow = 0;
        startRun(connectionType);
    } else {
        stopRequested = true;
        updBtn->setText(QStringLiteral("Start Update"));
        updateButtonState();
    }
}

void MainWindow::startRun(int road)
{
    stopRequested = false;
    runRoad = road;
    startHistoryRow();
    updBtn->setText(QStringLiteral("Stop"));
    elapsedTime.start();
    if (road == 0)
        future = QtConcurrent::run(QThreadPool::globalInstance(), [this] { return irBootRun(); });
    else
        future = QtConcurrent::run(QThreadPool::globalInstance(), [this] { return modbusUpdateRun(); });
    watcher.setFuture(future);
    runUnfinished = true;
    updateButtonState();
}

void MainWindow::restoreFromHistory(const UpdateHistory::Entry &row)
{
    if (runUnfinished || future.isRunning()) {
        reportError(QStringLiteral("An update is in progress; restore once it has ended."));
        return;
    }
    // Back into the pad it was read from, by Modbus, the only way back.
    bool ok = false;
    const int address = row.road == QLatin1String("modbus") ? row.place.toInt(&ok, 0) : -1;
    if (!ok || address <= 0 || address > 0xF7) {
        reportError(QStringLiteral("The backup of this row was not read from one pad by Modbus; nothing was written."));
        return;
    }
    // Checked against its name before anything else: a changed file is
    // never written into the pad.
    BackupStore store;
    QByteArray bytes;
    if (store.load(row.backupSha256, &bytes) != BackupStore::Ok) {
        reportError(store.problem() + QStringLiteral(" Nothing was written."));
        return;
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Restore Previous Firmware"),
                    QStringLiteral("Write back into the pad at %1 the firmware it held before the update of %2?")
                        .arg(row.place, row.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
                    QMessageBox::NoButton, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QStringLiteral("The backup, %1 bytes with SHA-256 %2, replaces what the pad holds now, "
                                          "and is read back.").arg(bytes.size()).arg(row.backupSha256));
    QPushButton *restore = box.addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
    box.setEscapeButton(box.addButton(QMessageBox::Cancel));
    box.setDefaultButton(qobject_cast<QPushButton *>(box.escapeButton()));
    box.exec();
    if (box.clickedButton() != restore || runUnfinished || future.isRunning())
        return;
    progressBar->setValue(0);
    runVerify = true;
    runBackup = false;
    runImage = FirmwareImage::fromBytes(store.pathOf(row.backupSha256), bytes);
    runRestoredRow = row.id;
    runRestoreAddress = address;
    startRun(1);
}

void MainWindow::reportError(QString errTxt)
{
    qDebug().noquote() << errTxt;
    // (The error may quote what the pad or the adapter said: shown as text.)
    PlainTextBox box(QMessageBox::NoIcon, QString(), QString());
    box.setText(tr("Error:"));
    box.setIcon(QMessageBox::Critical);
    box.setStandardButtons(QMessageBox::Close);
    box.setInformativeText(errTxt);
    connect(box.button(QMessageBox::Close), &QAbstractButton::clicked, this, &MainWindow::handleMessageBoxButton,
            Qt::QueuedConnection);
    box.exec();
}

void MainWindow::handleMessageBoxButton()
{
    if (!adapterHandle)
        QCoreApplication::quit();
}

void MainWindow::logHotKeyPressed()
{
    if (handlerInstalled)
        qInstallMessageHandler(nullptr);
    else
        qInstallMessageHandler(messageHandler);
    handlerInstalled = !handlerInstalled;
    logBrowser->hideBrowser();
}

void MainWindow::openAdapter()
{
    if (adapterHandle)
        return;
    adapterHandle = sub_open(nullptr);
    if (!adapterHandle) {
        // Said in the same box when the adapter is there but closed to this
        // user.
        // A setting it cannot use is no missing adapter: said alone.
        const QString problem = sub20OpenProblem();
        reportError(sub20OpenErrorNumber() == EINVAL
                        ? problem
                        : QLatin1String(notConnected) + ' ' + (problem.isEmpty() ? sub20BackendAdvice() : problem));
    }
}

void MainWindow::checkAdapterPort()
{
    const QString port = sub20AdapterPort();
    if (port.isEmpty())
        return;
    const bool present = QFileInfo::exists(port);
    if (adapterHandle && !present) {
        qDebug().noquote() << port + QLatin1String(" device disconnected");
        adapterRemoved();
    } else if (!adapterHandle && present) {
        qDebug().noquote() << port + QLatin1String(" device connected");
        openAdapter();
        updateButtonState();
    }
}

void MainWindow::adapterRemoved()
{
    // A run may still hold the handle: it is closed once the run has ended.
    if (sub_handle old = adapterHandle.exchange(nullptr))
        retiredAdapters.append(old);
    handleFinished();
    reportError(QLatin1String(notConnected));
}

void MainWindow::stopForSignal()
{
    stopRequested = true;
    close();
}

void MainWindow::releaseRetiredAdapters()
{
    if (future.isRunning())
        return;
    for (sub_handle handle : qAsConst(retiredAdapters))
        sub_close(handle);
    retiredAdapters.clear();
}
