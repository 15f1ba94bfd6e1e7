// The two update runs of the pad updater, started by the window on the
// thread pool: infrared boot frames, or Modbus Write File Record requests.
// They read the window's state and report only through signals. Their end
// (handleFinished) and their history row are handled here too.
#include "mainwindow.h"

#include "backupreport.h"
#include "padupdate.h"

#include <QDebug>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QGuiApplication>

int MainWindow::irBootRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    qDebug() << "boot run";
    QMetaObject::invokeMethod(qApp, [] { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }, Qt::QueuedConnection);
    irProtocolVersion = 2;
    return padUpdate->run(runJob(0), adapterHandle, stopRequested);
}

PadUpdate::Job MainWindow::runJob(int road) const
{
    if (runRestoredRow > 0) {
        PadUpdate::Job restore { PadTransfer::ModbusRoad, runRestoreAddress, runImage.path(), true };
        restore.restoredRow = runRestoredRow;
        return restore;
    }
    PadUpdate::Job job { road == 0 ? PadTransfer::InfraredRoad : PadTransfer::ModbusRoad,
                         road == 0 ? 0 : slaveAddress.load(), imageFileName, runVerify };
    job.backup = runBackup;
    return job;
}

int MainWindow::modbusUpdateRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    blockSize = PadTransfer::modbusBlockSize;
    // The address the run began with holds for all of it (the window keeps
    // it from changing meanwhile): one image, one pad. A pad that cannot
    // read back was still written: the run succeeds, and the bar says it
    // was not verified.
    return padUpdate->run(runJob(1), adapterHandle, stopRequested, runImage);
}

void MainWindow::startHistoryRow()
{
    padUpdate->begin(runJob(runRoad));
    warnOfHistory();
}

void MainWindow::warnOfHistory()
{
    const QString problem = padUpdate->record().problemToSay();
    if (!problem.isEmpty())
        qWarning().noquote() << UpdateRecord::saying(problem);
}

void MainWindow::finishHistoryRow()
{
    if (!padUpdate->record().isOpen())
        return;
    padUpdate->end(progressBar->format());
    warnOfHistory();
    // Said once a window: the store is never pruned unasked.
    if (!padUpdate->backupSha256().isEmpty() && !storeSaidTooLarge) {
        const QString over = BackupReport::storeTooLarge(settings->fileName());
        storeSaidTooLarge = !over.isEmpty();
        if (storeSaidTooLarge)
            reportError(over);
    }
}

void MainWindow::progressBarHandling(int value)
{
    progressBar->setValue(value);
    const int ms = elapsedTime.isValid() ? elapsedTime.elapsed() : 0;
    progressBar->setFormat(QStringLiteral("Elapsed time: ")
                           + QString::asprintf("%02d:%02d", (ms / 60000) % 60, (ms / 1000) % 60));
}

void MainWindow::handleFinished()
{
    // Also called at the adapter's removal, while the run may still be
    // ending; the watcher calls again once it has.
    if (!future.isRunning())
        runUnfinished = false;
    updBtn->setText(QStringLiteral("Start Update"));
    updateButtonState();
    // A full bar says the pad has the image: it stays full only after a run
    // that succeeded (a failure at the last frame's last send fills it too).
    const bool failed = !future.isRunning() && future.isFinished() && future.resultCount() > 0 && future.result() != 0;
    if (progressBar->value() != progressBar->maximum() || failed)
        progressBar->setValue(0);
    // A run that ended while the length was still the pad's to say (a read
    // before the write) leaves no busy bar behind.
    if (progressBar->maximum() == 0)
        progressBar->setRange(0, 1);
    // After a run that succeeded, what reading back found.
    const bool succeeded = !future.isRunning() && future.isFinished() && future.resultCount() > 0
        && future.result() == 0;
    const int verification = succeeded ? padUpdate->verification() : PadTransfer::NotAsked;
    progressBar->setFormat(verification == PadTransfer::Verified ? QStringLiteral("Update complete, verified")
                           : verification != PadTransfer::NotAsked ? QStringLiteral("Update complete, not verified")
                                                                   : QString());
    // Why it could not be verified, as a sentence.
    QString notVerifiableWhy;
    if (verification == PadTransfer::NotVerifiable || verification == PadTransfer::NoWayBack) {
        notVerifiableWhy = padUpdate->outcome().reason();
        if (!notVerifiableWhy.isEmpty())
            notVerifiableWhy = notVerifiableWhy.at(0).toUpper() + notVerifiableWhy.mid(1) + QLatin1Char('.');
    }
    progressBar->setToolTip(notVerifiableWhy);
    if (!future.isRunning() && future.isFinished() && future.resultCount() > 0)
        finishHistoryRow();
    QGuiApplication::restoreOverrideCursor();
    releaseRetiredAdapters();
}
