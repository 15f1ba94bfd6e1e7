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
    return PadTransfer(emitter, adapterHandle, stopRequested).irBoot(imageFileName);
}

int MainWindow::modbusUpdateRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    blockSize = PadTransfer::modbusBlockSize;
    // The address the run began with holds for all of it (the window keeps
    // it from changing meanwhile): one image, one pad.
    return PadTransfer(emitter, adapterHandle, stopRequested).modbusUpdate(imageFileName, slaveAddress.load());
}
