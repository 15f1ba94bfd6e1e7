#include "localroad.h"

#include "cliconsole.h"
#include "cliprogress.h"
#include "emitter.h"
#include "interruptsignal.h"
#include "serialbootrequest.h"
#include "update/deviceinventory.h"
#include "update/twophaseupdate.h"
#include "usb/dfuprotocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace {

const int pollInterval = 200;           // ms between looks for a returning device
const int dfuTimeout = 5000;            // ms for every DFU request

} // namespace

LocalRoad::LocalRoad(Emitter *emitter, CliConsole *console, CliProgress *progress, QObject *parent)
    : QObject(parent)
    , m_emitter(emitter)
    , m_console(console)
    , m_progress(progress)
{
    connect(m_emitter, &Emitter::errorSignal, this, [this](const QString &text) { m_errors << text; });
}

UpdateOutcome LocalRoad::run(DeviceInventory *inventory, const LocalDevice &device, const FirmwareImage &image,
                             bool verify, int waitSeconds, QByteArray *readInto)
{
    dfuInit(dfuTimeout);
    TwoPhaseUpdate job(m_emitter);
    job.setStopFlag(&InterruptSignal::flag());
    job.setReturnTimeout(waitSeconds * 1000);
    job.begin(image, verify);
    job.setReadInto(readInto);
    job.setBackup(m_backup);
    connect(&job, &TwoPhaseUpdate::backedUp, this, &LocalRoad::backedUp);
    m_reading = readInto != nullptr;
    const UpdateOutcome first = device.road == LocalDevice::Usb ? write(&job, inventory->usb().at(device.usbIndex))
                                                                : bootSerial(&job, device);
    if (!job.awaitingReturn())
        return first;
    if (device.road == LocalDevice::Usb && !first.succeeded()) {
        job.abandon();
        return first;
    }
    m_console->note(QStringLiteral("%1 restarts into its bootloader...").arg(device.text));
    return writeReturned(&job, inventory, waitSeconds);
}

UpdateOutcome LocalRoad::write(TwoPhaseUpdate *job, const UsbDeviceEntry &entry)
{
    m_written = QStringLiteral("%1 (USB %2)").arg(entry.text, entry.portPath);
    job->startUsb(entry.portPath);
    if (entry.bootloader)
        m_progress->setLabel(QStringLiteral("%1 %2").arg(m_reading ? QStringLiteral("Reading") : QStringLiteral("Writing"),
                                                          m_written));
    m_errors.clear();
    const int result = job->runUsb(entry.device);
    m_bytes = job->bytesTaken();
    job->usbEnded(result);
    return job->usbOutcome(result, m_errors.value(0));
}

UpdateOutcome LocalRoad::bootSerial(TwoPhaseUpdate *job, const LocalDevice &device)
{
    job->prepareSerialReturn();
    QString why;
    const int sent = SerialBootRequest::send(device.port.portName(), &why);
    job->serialBootSent(device.serialNumber, sent == SerialBootRequest::Sent);
    if (sent == SerialBootRequest::PortBusy || sent == SerialBootRequest::NoAccess)
        return UpdateOutcome(UpdateOutcome::NoAccess, why);
    if (sent != SerialBootRequest::Sent)
        return UpdateOutcome(UpdateOutcome::Failed, why);
    // Told to restart: awaited back unless it cannot be known again.
    return UpdateOutcome(UpdateOutcome::Failed,
                         QStringLiteral("%1 has no serial number to be known again by; nothing was written.")
                             .arg(device.id));
}

UpdateOutcome LocalRoad::writeReturned(TwoPhaseUpdate *job, DeviceInventory *inventory, int waitSeconds)
{
    for (;;) {
        if (InterruptSignal::requested()) {
            job->stop();
            return UpdateOutcome(UpdateOutcome::Stopped,
                                 QStringLiteral("Stopped while waiting for the device to come back in its bootloader; "
                                                "nothing was written."));
        }
        // Only the bus: the device comes back on USB. Devices that cannot be
        // it are left alone (another update may be writing them).
        const AwaitedDevice awaited = job->awaited();
        inventory->listUsb([&awaited](libusb_device *device) { return UsbDeviceList::mayBeReturned(device, awaited); });
        const TwoPhaseUpdate::Arrival arrival = job->arrived(inventory->usb());
        switch (arrival.action) {
        case TwoPhaseUpdate::Arrival::Abandoned:
            return arrival.outcome;
        case TwoPhaseUpdate::Arrival::Write:
            return write(job, inventory->usb().at(arrival.index));
        case TwoPhaseUpdate::Arrival::Wait:
            break;
        }
        if (job->returnDeadlinePassed()) {
            job->abandon();
            return UpdateOutcome(UpdateOutcome::Timeout,
                                 QStringLiteral("The device did not come back in its bootloader within %1 seconds; "
                                                "the firmware was not updated.").arg(waitSeconds));
        }
        // Events keep flowing meanwhile (a device emulated in this process
        // re-enumerates on them).
        QElapsedTimer pause;
        pause.start();
        while (pause.elapsed() < pollInterval) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, pollInterval);
            QThread::msleep(10);
        }
    }
}
