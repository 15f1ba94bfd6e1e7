#include "networkroad.h"

#include "cliprogress.h"
#include "firmwareimage.h"
#include "interruptsignal.h"
#include "network/command.h"
#include "network/networkcheck.h"
#include "network/networkdevice.h"
#include "network/scannertask.h"
#include "network/uploadtask.h"

#include <QTimer>

NetworkRoad::NetworkRoad(CliProgress *progress, QObject *parent)
    : QObject(parent)
    , m_progress(progress)
{
}

UpdateOutcome NetworkRoad::check(NetworkDevice *device, const QString &where, bool force, QString *warning)
{
    const int checked = NetworkCheck::stoppable(device);
    if (InterruptSignal::requested())
        return UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("Stopped before anything was written."));
    if (checked == ScannerTask::NoConnection)
        return UpdateOutcome(UpdateOutcome::NoDevice, NetworkCheck::problemText(checked, where));
    // An old bootloader may take the image all the same, when forced.
    if (checked == ScannerTask::OldBootloader && force)
        *warning = NetworkCheck::problemText(checked, where) + QLatin1String(" Trying anyway (--force).");
    else if (checked != ScannerTask::Identified)
        return UpdateOutcome(UpdateOutcome::DeviceRefused,
                             NetworkCheck::problemText(checked, where)
                                 + (checked == ScannerTask::OldBootloader ? QLatin1String(" Give --force to try anyway.") : QLatin1String("")));
    return UpdateOutcome(UpdateOutcome::Updated);
}

bool NetworkRoad::checked() const
{
    return m_result == UploadTask::Checked;
}

UpdateOutcome NetworkRoad::run(NetworkDevice *device, const FirmwareImage &image, bool verify, bool reboot,
                               const QString &text, const QString &where)
{
    UploadTask task(device, image.path());
    task.setImage(image);
    m_result = -1;
    connect(&task, &Task::taskFinished, this, [this](int code) { m_result = code; });
    connect(&task, &Task::uploadStart, m_progress, &CliProgress::setRange);
    connect(&task, &Task::uploadProgress, m_progress, &CliProgress::setValue);
    // The upload waits in nested event loops; Ctrl+C is looked at from
    // there and stops it after its current record, as the window's Stop.
    QTimer watch;
    connect(&watch, &QTimer::timeout, &task, [&task] {
        if (InterruptSignal::requested())
            task.stop();
    });
    watch.start(100);
    m_progress->setLabel(QStringLiteral("Writing %1").arg(text));
    task.run();
    watch.stop();
    m_progress->finish();
    m_bytes = task.acknowledgedBytes();

    if (InterruptSignal::requested() && m_result < 0) {
        // A 'W' image (named INB) has no check and no header that would
        // make it the device's firmware only when whole.
        const bool recordsOnly = UploadTask::modeOf(image.path()) == 'W';
        return UpdateOutcome(UpdateOutcome::Stopped,
                             recordsOnly ? QStringLiteral("Stopped before the device had every record of the image; "
                                                          "it was told nothing more.")
                                         : QStringLiteral("Stopped before the device had the whole image checked; it "
                                                          "was told nothing more and keeps its firmware."));
    }
    const UpdateOutcome outcome = task.outcome(m_result, where, verify);
    // An image whose check could not be asked is left as it is: the device
    // could not be reached for the check, and is not told to run it.
    if (!outcome.wroteImage() || m_result == UploadTask::NotChecked)
        return outcome;
    if (reboot) {
        m_rebooted = true;
        Command command(this, device);
        command.reboot();
        m_rebootRefused = !command.rebootAccepted();
    } else if (m_result == UploadTask::Checked) {
        // As the window's Cancel: the device closes the image and goes on.
        Command(this, device).closeImage();
    }
    return outcome;
}
