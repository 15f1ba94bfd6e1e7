// The two update runs of the pad updater, started by the window on the
// thread pool: infrared boot frames, or Modbus Write File Record requests.
// They read the window's state and report only through signals.
#include "mainwindow.h"

#include "padtransfer.h"

#include <QDebug>
#include <QGuiApplication>

int MainWindow::irBootRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    qDebug() << "boot run";
    QMetaObject::invokeMethod(qApp, [] { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }, Qt::QueuedConnection);
    irProtocolVersion = 2;
    PadTransfer transfer(emitter, adapterHandle, stopRequested);
    const int result = transfer.irBoot(transfer.readImage(imageFileName));
    if (result == 0 && runVerify)
        runVerification = 3;
    return result;
}

int MainWindow::modbusUpdateRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    blockSize = PadTransfer::modbusBlockSize;
    // The address the run began with holds for all of it (the window keeps
    // it from changing meanwhile): one image, one pad.
    PadTransfer transfer(emitter, adapterHandle, stopRequested);
    // Read once: the records and their read-back are these bytes.
    const FirmwareImage image = transfer.readImage(imageFileName);
    int result = transfer.modbusUpdate(image, slaveAddress.load());
    if (result == 0 && runVerify) {
        result = transfer.modbusVerify(image, slaveAddress.load());
        // A pad that cannot read back was still written: the run succeeded,
        // and the bar says it was not verified.
        runVerification = result == 0 ? 1 : result == PadTransfer::notVerifiable ? 2 : 0;
        if (result == PadTransfer::notVerifiable)
            result = 0;
    }
    return result;
}
