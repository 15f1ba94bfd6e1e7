#include "stationport.h"

#include "devicecatalog.h"
#include "serialbootrequest.h"

#include <QThreadPool>
#include <QtConcurrent>

StationPort::StationPort(const QString &port, QThreadPool *pool, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_pool(pool)
    , m_update(&m_emitter)
{
    // The job reports from its thread; these run on the port's.
    connect(&m_emitter, &Emitter::load_start, this, [this](int, int maximum) {
        m_total = maximum;
        m_percent = 0;
        emit changed();
    });
    connect(&m_emitter, &Emitter::load_progress, this, [this](int value) {
        const int percent = m_total > 0 ? int(qint64(value) * 100 / m_total) : 0;
        // The whole image is down: what follows, asked for, is the read-back.
        if (value >= m_total && m_total > 0 && m_update.verify() && m_state == Writing)
            m_state = Verifying;
        m_percent = qBound(0, percent, 100);
        emit changed();
    });
    connect(&m_emitter, &Emitter::errorSignal, this, [this](const QString &text) {
        if (m_said.isEmpty())
            m_said = text;
    });
    connect(&m_update, &TwoPhaseUpdate::finished, this, [this](const UpdateOutcome &outcome) {
        // The engine's first word on a failure is its reason.
        end(outcome.wroteImage() || m_said.isEmpty() ? outcome : UpdateOutcome(outcome.kind(), m_said));
    });
    connect(&m_update, &TwoPhaseUpdate::returnTimedOut, this, [this] {
        m_update.abandon();
        end(UpdateOutcome(UpdateOutcome::Timeout,
                          QStringLiteral("The device did not come back in its bootloader within %1 seconds; the "
                                         "firmware was not updated.").arg(m_update.returnTimeout() / 1000)));
    });
}

void StationPort::show(const LocalDevice &device, State state, const QString &reason)
{
    m_text = device.text;
    m_model = DeviceCatalog::modelOf(device.text);
    m_serialNumber = device.serialNumber;
    m_percent = 0;
    m_reason = reason;
    setState(state);
}

void StationPort::write(const LocalDevice &device, const FirmwareImage &image, bool verify)
{
    m_said.clear();
    m_total = 0;
    m_since.start();
    show(device, Writing, QString());
    m_update.begin(image, verify);
    m_update.recordStart(device.roadName(), m_model, device.serialNumber, device.id);
    if (device.road == LocalDevice::Serial)
        bootSerial(device);
    else
        writeUsb();
}

void StationPort::writeUsb()
{
    // A port path names one device at a time: the one there now.
    const QString port = m_port;
    m_inventory.listUsb([&port](libusb_device *device) { return UsbDeviceList::mayBeNamed(device, port); });
    for (const UsbDeviceEntry &entry : m_inventory.usb()) {
        if (entry.portPath != m_port)
            continue;
        if (!entry.accessible) {
            end(UpdateOutcome(UpdateOutcome::NoAccess, DfuEngine::noAccessText()));
            return;
        }
        startJob(entry);
        return;
    }
    end(UpdateOutcome(UpdateOutcome::NoDevice, QStringLiteral("The device left before it was written.")));
}

void StationPort::startJob(const UsbDeviceEntry &entry)
{
    m_update.startUsb(entry.portPath);
    libusb_device *device = entry.device;
    m_update.followUsbJob(QtConcurrent::run(m_pool, [this, device] { return m_update.runUsb(device); }));
}

void StationPort::bootSerial(const LocalDevice &device)
{
    m_update.prepareSerialReturn();
    QString why;
    const int sent = SerialBootRequest::send(device.port.portName(), &why);
    m_update.serialBootSent(device.serialNumber, sent == SerialBootRequest::Sent);
    if (sent == SerialBootRequest::PortBusy || sent == SerialBootRequest::NoAccess)
        end(UpdateOutcome(UpdateOutcome::NoAccess, why));
    else if (sent != SerialBootRequest::Sent)
        end(UpdateOutcome(UpdateOutcome::Failed, why));
    else if (!m_update.awaitingReturn())
        end(UpdateOutcome(UpdateOutcome::Failed,
                          QStringLiteral("%1 has no serial number to be known again by; nothing was written.")
                              .arg(device.id)));
}

bool StationPort::awaits(const UsbDeviceEntry &entry) const
{
    return m_update.awaitingReturn() && UsbDeviceList::isReturnedDevice(m_update.awaited(), entry);
}

void StationPort::look()
{
    if (!m_update.awaitingReturn() || m_update.usbJobRunning())
        return;
    // Only what may be this port's device: others may be written by other
    // ports meanwhile.
    const AwaitedDevice awaited = m_update.awaited();
    m_inventory.listUsb([&awaited](libusb_device *device) { return UsbDeviceList::mayBeReturned(device, awaited); });
    const TwoPhaseUpdate::Arrival arrival = m_update.arrived(m_inventory.usb());
    if (arrival.action == TwoPhaseUpdate::Arrival::Write)
        startJob(m_inventory.usb().at(arrival.index));
    else if (arrival.action == TwoPhaseUpdate::Arrival::Abandoned)
        end(arrival.outcome);
}

void StationPort::stop()
{
    const bool awaiting = m_update.awaitingReturn();
    m_update.stop();
    // A running job ends by itself, through finished(); an awaited device
    // ends here.
    if (awaiting && busy())
        end(UpdateOutcome(UpdateOutcome::Stopped,
                          QStringLiteral("Stopped while waiting for the device to come back in its bootloader; "
                                         "nothing was written.")));
}

void StationPort::end(const UpdateOutcome &outcome)
{
    if (!busy())
        return;
    m_outcome = outcome;
    m_reason = outcome.reason();
    m_elapsedMs = m_since.elapsed();
    m_update.recordEnd(outcome, outcome.reason());
    // The listing gives its devices back: nothing of this port is held
    // between its updates.
    m_inventory.release();
    if (outcome.wroteImage())
        m_percent = 100;
    setState(outcome.wroteImage() ? Done : Failed);
    emit ended(outcome);
}

void StationPort::setState(State state)
{
    m_state = state;
    emit changed();
}
