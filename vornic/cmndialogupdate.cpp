// The window's side of an update: the press on "Update Firmware", the USB
// job's end, the wait for a device sent into its bootloader, and how an
// outcome is shown and recorded.
#include "cmndialog.h"

#include "backupstore.h"
#include "stationwindow.h"
#include "ui_cmndialog.h"

#include "listrow.h"

#include "devicecatalog.h"
#include "plaintextbox.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QProgressBar>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QSettings>

void CMNDialog::watchUsbJob(const QFuture<int> &job)
{
    future = job;
    watcher.setFuture(future);
}

void CMNDialog::setUpdateControlsEnabled(bool enabled)
{
    ui->updBtn->setEnabled(enabled);
    ui->loadImg->setEnabled(enabled);
    contextMenu.setEnabled(enabled);
    // The station starts no run beside an update of this window's.
    if (stationWindow && !stationBusy())
        stationWindow->setStartAllowed(enabled);
}

void CMNDialog::usbJobEnded(const UpdateOutcome &outcome)
{
    if (closeRequested) {
        recordOutcome(outcome);
        close();
        return;
    }
    // The controls come back now that nothing is in progress.
    btnsOn();
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
    return updateOwner->inProgress() || stationBusy();
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
    // A row that names no device has no road: nothing to check or start.
    if (!namesDevice(data))
        return;
    // Checked before the device is told anything: on the two-phase roads it
    // would otherwise restart into its bootloader for nothing, and no road
    // has any use for an empty image.
    const FirmwareImage image = FirmwareImage::read(imagePath);
    if (!image.problem().isEmpty()) {
        displayWarnings(image.problem());
        return;
    }
    startUpdate(data, text, listing, image, verifyAction->isChecked(), backupAction->isChecked(), 0);
}

void CMNDialog::startUpdate(const QVariant &data, const QString &text, quint64 listing, const FirmwareImage &image,
                            bool verify, bool backup, qint64 restoredRow)
{
    if (!namesDevice(data))
        return;
    const bool serial = data.userType() == qMetaTypeId<QSerialPortInfo>();
    NetworkDevice *networkDevice = ListRow::networkDevice(data);
    libusb_device *usbDevice = serial || networkDevice ? nullptr : ListRow::usbDevice(data);
    // Only a device that can send its firmware back can be backed up: a
    // network device is not written rather than written without one.
    if (networkDevice && backup) {
        displayWarnings(QStringLiteral("A network device cannot be read, so it cannot be backed up; nothing was "
                                       "written. Turn off \"Back Up Before Writing\" to write it without a backup."));
        return;
    }
    updateOwner->begin(image, verify);
    updateOwner->setBackup(backup);
    updateOwner->setRestoredRow(restoredRow);

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

bool CMNDialog::namesDevice(const QVariant &data)
{
    return data.userType() == qMetaTypeId<QSerialPortInfo>() || ListRow::networkDevice(data) || ListRow::usbDevice(data);
}

void CMNDialog::restoreFromHistory(const UpdateHistory::Entry &row)
{
    if (updateInProgress()) {
        displayWarnings(QStringLiteral("An update is in progress; restore once it has ended."));
        return;
    }
    // Checked against its name before anything else: a changed file is
    // never written into a device.
    BackupStore store;
    QByteArray bytes;
    if (store.load(row.backupSha256, &bytes) != BackupStore::Ok) {
        displayWarnings(store.problem() + QStringLiteral(" Nothing was written."));
        return;
    }
    // Back into the device it came from, known by its serial number: a row
    // of the list, or none.
    const QListWidgetItem *found = nullptr;
    int matches = 0;
    for (int i = 0; i < ui->listWidget->count(); ++i) {
        const QListWidgetItem *item = ui->listWidget->item(i);
        const QVariant data = item->data(Qt::UserRole);
        QString serialNumber;
        if (data.userType() == qMetaTypeId<QSerialPortInfo>()) {
            serialNumber = data.value<QSerialPortInfo>().serialNumber();
        } else if (libusb_device *device = ListRow::usbDevice(data)) {
            for (const UsbDeviceEntry &entry : inventory.usb()) {
                if (entry.device == device)
                    serialNumber = entry.serialNumber;
            }
        }
        if (!row.serialNumber.isEmpty() && serialNumber == row.serialNumber) {
            found = item;
            ++matches;
        }
    }
    if (matches != 1) {
        displayWarnings(QStringLiteral("%1 with serial number %2 is %3; nothing was written. Connect it alone and "
                                       "choose \"Restore Previous Firmware...\" again.")
                            .arg(row.model.isEmpty() ? QStringLiteral("The device") : row.model,
                                 row.serialNumber.isEmpty() ? QStringLiteral("(none)") : row.serialNumber,
                                 matches ? QStringLiteral("listed more than once") : QStringLiteral("not listed")));
        return;
    }
    const QVariant data = found->data(Qt::UserRole);
    const QString text = found->text();
    const quint64 listing = inventory.generation();
    const int answer = askButtons(QMessageBox::Question, QStringLiteral("Restore Previous Firmware"),
                                  QStringLiteral("Write back into %1 the firmware it held before the update of %2?")
                                      .arg(text, row.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
                                  { QStringLiteral("Restore"), QStringLiteral("Cancel") }, 1, 1, this,
                                  QStringLiteral("The backup, %1 bytes with SHA-256 %2, replaces what the device holds "
                                                 "now, and is read back.")
                                      .arg(bytes.size())
                                      .arg(row.backupSha256));
    // (The box ran an event loop: the list may have been rebuilt.)
    if (answer != 0 || updateInProgress())
        return;
    if (inventory.generation() != listing) {
        displayWarnings(QStringLiteral("The device list changed meanwhile; nothing was written. Choose \"Restore "
                                       "Previous Firmware...\" again."));
        return;
    }
    startUpdate(data, text, listing, FirmwareImage::fromBytes(store.pathOf(row.backupSha256), bytes), true, false,
                row.id);
}

void CMNDialog::recordOutcome(const UpdateOutcome &outcome)
{
    updateOwner->recordEnd(outcome, ui->progressBar->format() + QLatin1Char(' ') + outcome.reason());
    const QString problem = updateOwner->takeHistoryProblem();
    if (!problem.isEmpty())
        traceEdit->appendPlainText(problem);
}
