// The network road of the main window: adding a device by address (the
// dialog, the check, the messages), the upload with its result dialogs,
// and the reboot and start-of-image commands. Everything runs on the GUI
// thread; each task waits for the device in nested event loops.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "devicetypefromserial.h"
#include "network/command.h"
#include "ipconnectdialog.h"
#include "network/scannertask.h"
#include "network/uploadtask.h"
#include "updateoutcome.h"

#include "plaintextbox.h"

#include <QDebug>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QScopeGuard>
#include <QSettings>

void CMNDialog::uploadNetworkDevice(NetworkDevice *dev)
{
    contextMenu.setEnabled(false);
    auto *task = new UploadTask(dev, updateOwner->image().path(), this);
    task->setImage(updateOwner->image());
    connect(task, &Task::taskFinished, this, &CMNDialog::uploadFinished);
    connect(task, &Task::taskError, this, &CMNDialog::displayWarnings);
    connect(task, &Task::uploadStart, ui->progressBar, &QProgressBar::setRange);
    connect(task, &Task::uploadProgress, ui->progressBar, &QProgressBar::setValue);
    connect(this, &CMNDialog::stopThread, task, &Task::stop, Qt::DirectConnection);
    ui->progressBar->setFormat(QStringLiteral("%p%"));
    ui->progressBar->setValue(ui->progressBar->minimum());
    // Closing the window stops the upload after its current record. Until
    // the upload and the command that follows it are over, the list is not
    // rebuilt and that command goes to this device, whatever row is current.
    updateOwner->startNetwork(dev);
    ui->listWidget->setEnabled(false);
    task->run();
    // After a stop no result comes; the window is closing then.
    if (updateOwner->recordOpen())
        recordOutcome(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("the window was closed during the upload")));
    updateOwner->networkEnded();
    ui->listWidget->setEnabled(true);
    btnsOn();
    task->deleteLater();
}

void CMNDialog::uploadFinished(int code)
{
    qDebug() << "Task Finished: ";
    const QString failed = QStringLiteral("Firmware upload failed");
    const QStringList dismiss { QStringLiteral("Dismiss") };
    const auto *task = qobject_cast<const UploadTask *>(sender());
    const NetworkDevice *device = updateOwner->networkDevice();
    const QString where = device ? device->where() : QString();
    // The task says what happened, in one sentence naming the device.
    const QString problem = task && !where.isEmpty() ? task->problemText(where) : QString();
    // The device's check of an 'I' image is its verification; a 'W' image
    // has none.
    const bool verify = verifyAction->isChecked();
    const UpdateOutcome outcome = task ? task->outcome(code, where, verify) : UpdateOutcome();
    QString unchecked = outcome.reason();
    if (!unchecked.isEmpty())
        unchecked = unchecked.at(0).toUpper() + unchecked.mid(1) + QLatin1Char('.');
    showUpdateOutcome(outcome.wroteImage(),
                      outcome.kind() == UpdateOutcome::Verified        ? QStringLiteral(", verified by the device")
                      : outcome.kind() == UpdateOutcome::NotVerifiable ? QStringLiteral(", not verified")
                                                                       : QString(),
                      outcome.kind() == UpdateOutcome::NotVerifiable ? unchecked : QString());
    recordOutcome(outcome);

    switch (code) {
    case UploadTask::Checked:
        // Escape reboots; Enter (the default) only closes the image.
        if (askButtons(QMessageBox::Information, QStringLiteral("Firmware upload completed"),
                       QStringLiteral("To run new firmware, press Reboot!"),
                       { QStringLiteral("Reboot"), QStringLiteral("Cancel") }, 1, 0, this)
            == 0)
            onRebootNetworkDevice();
        else
            sendUploadCancel();
        break;
    case UploadTask::NoConnection:
        askButtons(QMessageBox::Warning, failed,
                   QStringLiteral("The device did not accept a connection; nothing was written."), dismiss, 0, -1,
                   this);
        break;
    case UploadTask::ImageUnreadable:
        askButtons(QMessageBox::Warning, failed,
                   problem.isEmpty()
                       ? QStringLiteral("The firmware image could not be read; the device did not take it.")
                       : problem,
                   dismiss, 0, -1, this);
        break;
    case UploadTask::Refused:
        // What was refused: a record calls for another try, the device's
        // check of the whole image for another image.
        askButtons(QMessageBox::Warning, failed, QStringLiteral("Protocol error"), dismiss, 0, -1, this, problem);
        break;
    case UploadTask::NoReply:
        askButtons(QMessageBox::Warning, failed, QStringLiteral("Communication timout"), dismiss, 0, -1, this,
                   problem);
        break;
    case UploadTask::LinkLost:
        askButtons(QMessageBox::Warning, failed, problem, dismiss, 0, -1, this);
        break;
    case UploadTask::NotChecked:
        askButtons(QMessageBox::Warning, QStringLiteral("Firmware upload not checked"), problem, dismiss, 0, -1,
                   this);
        break;
    default:
        break;
    }
    // The upload's run ends after this, follow-up included, and gives the
    // list and the controls back (uploadNetworkDevice).
}

void CMNDialog::onRebootNetworkDevice()
{
    // The device that was just written, never whatever row is current now.
    NetworkDevice *device = updateOwner->networkDevice();
    if (!device)
        return;
    Command command(this, device);
    command.reboot();
    if (!command.rebootAccepted())
        displayWarnings(Command::rebootRefusedText());
}

void CMNDialog::sendUploadCancel()
{
    NetworkDevice *device = updateOwner->networkDevice();
    if (!device)
        return;
    Command(this, device).closeImage();
}

void CMNDialog::openConnectDialog()
{
    // One dialog at a time: a second press brings the open one forward.
    if (connectDialog) {
        connectDialog->raise();
        connectDialog->activateWindow();
        return;
    }
    connectDialog = new IPConnectDialog(this);
    connect(connectDialog, &QDialog::rejected, this, &CMNDialog::closeConnectDialog);
    connect(connectDialog, &IPConnectDialog::getNetworkDevice, this, &CMNDialog::getNetworkDeviceOptions);
    connectDialog->setWindowTitle(QStringLiteral("Add Network Device"));
    connectDialog->setFont(QFont(QStringLiteral("Tahoma"), 9));
    connectDialog->resize(300, 140);
    connectDialog->show();
    connectDialog->setFocus(Qt::OtherFocusReason);
    connectDialog->setAddress(lastIp, lastPort);
}

void CMNDialog::closeConnectDialog()
{
    if (!connectDialog)
        return;
    connectDialog->deleteLater();
    connectDialog = nullptr;
}

void CMNDialog::getNetworkDeviceOptions(QString ip, QString port)
{
    qDebug() << "ipAddress is " << ip << "port: " << port;
    // Reports go to the one device being checked: while "Refresh List" asks
    // the listed devices again, no other check may start.
    if (pendingDevice) {
        QMessageBox::information(connectDialog, QStringLiteral("Vornic"),
                                 QStringLiteral("Vornic is checking the listed network devices. Press \"Add Device\" "
                                                "again when the list is back."),
                                 QMessageBox::Ok);
        if (connectDialog)
            connectDialog->checkRefused();
        return;
    }
    pendingDevice = new NetworkDevice(ip, port.toInt(), this);
    queryNetworkDevice(pendingDevice);
    closeConnectDialog();
}

void CMNDialog::queryNetworkDevice(NetworkDevice *device)
{
    // The report comes by a queued call once run() has returned; the task
    // has no part in it and goes.
    auto *task = new ScannerTask(this, device, this);
    task->run();
    task->deleteLater();
}

bool CMNDialog::reportNetworkError(int code)
{
    // The place with its port: a device may listen on another than 10102.
    const QString ip = pendingDevice ? pendingDevice->where() : QString();
    const QString notFound = QStringLiteral("Can't find an Ordane device at ip: %1").arg(ip);
    const QString impossible = QStringLiteral("Network update impossible");
    switch (code) {
    case ScannerTask::Identified:
        return true;
    case ScannerTask::NotTheMakers:
        qDebug() << "It's not a Vanta Device";
        PlainTextBox::warning(nullptr, QStringLiteral("Failed to add a device"), notFound);
        return false;
    case ScannerTask::NoConnection:
        PlainTextBox::warning(nullptr, QStringLiteral("Failed to add a device!"), notFound);
        return false;
    case ScannerTask::OldPrimoraFirmware:
    case ScannerTask::OldFirmware:
        QMessageBox::warning(nullptr, impossible,
                             QStringLiteral("The current firmware version doesn't allow a network update. The "
                                            "firmware can be updated via USB"),
                             QMessageBox::Ok);
        return false;
    case ScannerTask::Unidentified:
        QMessageBox::warning(nullptr, QStringLiteral("Failed to add a device"),
                             QStringLiteral("The device at %1 did not say what it is: its answer holds no serial "
                                            "number or version.").arg(ip),
                             QMessageBox::Ok);
        return false;
    case ScannerTask::AnswerTooLong:
        PlainTextBox::warning(nullptr, QStringLiteral("Failed to add a device"), ScannerTask::answerTooLongText(ip));
        return false;
    case ScannerTask::OldBootloader:
        return askButtons(QMessageBox::Warning, impossible,
                          QStringLiteral("The current bootloader version doesn't allow a network update. The "
                                         "firmware can be updated via USB"),
                          { QStringLiteral("Ignore"), QStringLiteral("Cancel") }, 0, 1, nullptr)
            == 0;
    default:
        return false;
    }
}

void CMNDialog::addNetworkDeviceToList(QString str, int errorCode)
{
    qDebug() << "response: " << str;
    eventLoop.exit(0);
    NetworkDevice *device = pendingDevice;
    if (!device)
        return;

    // A device that is not listed is kept nowhere else either.
    bool kept = false;
    const auto forget = qScopeGuard([&] {
        if (pendingDevice == device)
            pendingDevice = nullptr;
        if (!kept)
            device->deleteLater();
    });
    if (errorCode != 0 && !reportNetworkError(errorCode))
        return;
    device->setType(deviceTypeFromSerial(str));
    device->setSerialNumber(str);
    for (const NetworkDevice *known : qAsConst(networkDevices)) {
        if (known->ip() == device->ip()) {
            qDebug().noquote() << "Device with IP = " + device->ip() + " exists!";
            return;
        }
    }
    kept = true;
    networkDevices.append(device);
    addNetworkEntry(device);
    lastIp = device->ip();
    lastPort = device->port();
    settings->setValue(QLatin1String(lastIpKey), lastIp);
    settings->setValue(QLatin1String(portKey), lastPort);
    settings->sync();
    if (!updateInProgress())
        ui->updBtn->setEnabled(true);
}
