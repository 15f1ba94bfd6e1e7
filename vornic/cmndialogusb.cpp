// The USB road of the main window: listing the maker's USB devices and
// running the DFU job on one of them.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "usb/dfuengine.h"
#include "usb/usbdevicelist.h"

#include <QDebug>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QThreadPool>
#include <QtConcurrent>

#include <libusb.h>

void CMNDialog::releaseUsbRowDevices()
{
    UsbDeviceList::release(&usbRows);
}

void CMNDialog::listUsbDevices()
{
    // Rows of the previous listing are gone (the list was cleared), so their
    // device references can go; a fresh context then sees the bus as it is.
    releaseUsbRowDevices();
    ++usbListings;
    if (usbContext)
        libusb_exit(usbContext);
    usbContext = nullptr;
    if (UsbDeviceList::initContext(&usbContext) != 0)
        usbContext = nullptr;

    const int count = UsbDeviceList::enumerate(usbContext, &usbRows,
                                               [this](const QString &line) { traceEdit->appendPlainText(line); });
    if (count < 0) {
        qDebug() << "Error enumerating devices\n";
        return;
    }
    // Rows keep their entry's device reference until the next listing.
    for (const UsbDeviceEntry &entry : qAsConst(usbRows))
        addListEntry(entry.text, QVariant::fromValue(reinterpret_cast<quintptr>(entry.device)));

    for (int row = 0; row < ui->listWidget->count(); ++row)
        qDebug().noquote() << ui->listWidget->item(row)->text();
}

// ---------------------------------------------------------------------------
// The USB update job

DfuEngine CMNDialog::dfuEngine()
{
    return DfuEngine(emitter, { detachIssued, detachedBusNumber, detachedPortNumber, reconnectMode });
}

int CMNDialog::dfuUpdate(libusb_device *device)
{
    DfuEngine engine = dfuEngine();
    engine.setDetachAllowed(jobMayDetach);
    engine.setStopFlag(&usbStop);
    engine.setVerify(jobVerify);
    engine.setImage(jobImage);
    const int result = engine.update(device, jobImagePath);
    {
        const std::lock_guard<std::mutex> lock(jobVerificationMutex);
        jobVerificationText = engine.verificationText();
    }
    jobVerification = engine.verification();
    return result;
}

int CMNDialog::dfuDownload(const QString &path, const DfuInterface &dfu, int transferSize)
{
    return dfuEngine().download(path, dfu, transferSize);
}

void CMNDialog::startUsbJob(libusb_device *device)
{
    // Taken before the job can tell the device to detach: the device that
    // comes back must be on this port and must not have been there before.
    jobPortPath = UsbDeviceList::portPath(device);
    if (jobMayDetach)
        devicesBeforeRestart = UsbDeviceList::devicesOnBus();
    traceEdit->appendPlainText(QStringLiteral("Writing the device on USB port %1").arg(jobPortPath));
    ui->progressBar->setFormat(QStringLiteral("%p%"));
    ui->progressBar->setValue(ui->progressBar->minimum());
    jobVerify = verifyAction->isChecked();
    jobVerification = DfuEngine::NotAsked;
    watchUsbJob(QtConcurrent::run(QThreadPool::globalInstance(), this, &CMNDialog::dfuUpdate, device));
}

void CMNDialog::startUsbUpdate(libusb_device *device, int row)
{
    ui->listWidget->setCurrentRow(row);
    setUpdateControlsEnabled(false);
    reconnectMode = -1;
    // The awaited device is back: nothing is awaited any more.
    pendingSerialNumber.clear();
    reconnectTimer.stop();
    // Only a download ends this update well: a device found here still in
    // its application is not sent away a second time.
    jobMayDetach = false;
    startUsbJob(device);
}
