// The USB road of the main window: listing the maker's USB devices and
// running the DFU job on one of them.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "usb/usbdevicelist.h"

#include <QDebug>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>

void CMNDialog::listUsbDevices()
{
    // Rows of the previous listing are gone (the list was cleared), so their
    // device references can go; a fresh context then sees the bus as it is.
    const int count = inventory.listUsb(UsbDeviceList::Wanted(),
                                        [this](const QString &line) { traceEdit->appendPlainText(line); });
    if (count < 0) {
        qDebug() << "Error enumerating devices\n";
        return;
    }
    // Rows keep their entry's device reference until the next listing.
    for (const UsbDeviceEntry &entry : inventory.usb())
        addListEntry(entry.text, QVariant::fromValue(reinterpret_cast<quintptr>(entry.device)));

    for (int row = 0; row < ui->listWidget->count(); ++row)
        qDebug().noquote() << ui->listWidget->item(row)->text();
}

// ---------------------------------------------------------------------------
// The USB update job

int CMNDialog::dfuUpdate(libusb_device *device)
{
    return updateOwner->runUsb(device);
}

int CMNDialog::dfuDownload(const QString &path, const DfuInterface &dfu, int transferSize)
{
    return updateOwner->download(path, dfu, transferSize);
}

void CMNDialog::startUsbJob(libusb_device *device)
{
    // Taken before the job can tell the device to detach: the device that
    // comes back must be on this port and must not have been there before.
    updateOwner->startUsb(UsbDeviceList::portPath(device));
    traceEdit->appendPlainText(QStringLiteral("Writing the device on USB port %1").arg(updateOwner->portPath()));
    ui->progressBar->setFormat(QStringLiteral("%p%"));
    ui->progressBar->setValue(ui->progressBar->minimum());
    watchUsbJob(updateOwner->startUsbJob(device));
}

void CMNDialog::startUsbUpdate(libusb_device *device, int row)
{
    ui->listWidget->setCurrentRow(row);
    setUpdateControlsEnabled(false);
    // The awaited device is back: nothing is awaited any more.
    updateOwner->returned();
    startUsbJob(device);
}
