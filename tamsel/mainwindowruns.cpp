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
    const int result = PadTransfer(emitter, adapterHandle, stopRequested).irBoot(imageFileName);
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
    int result = transfer.modbusUpdate(imageFileName, slaveAddress.load());
    if (result == 0 && runVerify) {
        result = transfer.modbusVerify(imageFileName, slaveAddress.load());
        // A pad that cannot read back was still written: the run succeeded,
        // and the bar says it was not verified.
        runVerification = result == 0 ? 1 : result == PadTransfer::notVerifiable ? 2 : 0;
        if (result == PadTransfer::notVerifiable)
            result = 0;
    }
    return result;
}
