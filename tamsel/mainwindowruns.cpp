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
    PadTransfer::Verification verification = PadTransfer::NotAsked;
    const int result = transfer.update(transfer.readImage(imageFileName), PadTransfer::InfraredRoad, 0, runVerify,
                                       &verification);
    runVerification = verification;
    return result;
}

int MainWindow::modbusUpdateRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    blockSize = PadTransfer::modbusBlockSize;
    // The address the run began with holds for all of it (the window keeps
    // it from changing meanwhile): one image, one pad.
    PadTransfer transfer(emitter, adapterHandle, stopRequested);
    // Read once: the records and their read-back are these bytes. A pad
    // that cannot read back was still written: the run succeeds, and the
    // bar says it was not verified.
    PadTransfer::Verification verification = PadTransfer::NotAsked;
    const int result = transfer.update(transfer.readImage(imageFileName), PadTransfer::ModbusRoad, slaveAddress.load(),
                                       runVerify, &verification);
    runVerification = verification;
    return result;
}
