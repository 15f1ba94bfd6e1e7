#include "productionstation.h"

#include "devicecatalog.h"
#include "update/stationport.h"
#include "usb/dfuprotocol.h"

namespace {

// Devices written at once, at most; more wait for a thread.
const int mostAtOnce = 32;
// For every DFU request, unless the program has set its own: no request
// may wait for ever on a device that stopped answering.
const int dfuTimeout = 5000;    // ms

// An arrival as the bus tells it from the next: a USB device's address
// changes each time it arrives; a serial port keeps its name, its device
// is known by its serial number.
QString presenceOf(const LocalDevice &device, const DeviceInventory &inventory)
{
    if (device.road == LocalDevice::Usb)
        return QStringLiteral("usb ") + inventory.usb().at(device.usbIndex).presence;
    return QStringLiteral("serial %1 %2").arg(device.port.systemLocation(), device.serialNumber);
}

} // namespace

ProductionStation::ProductionStation(QObject *parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(mostAtOnce);
}

ProductionStation::~ProductionStation()
{
    // Every job ends (stopped cleanly) before its port goes.
    for (StationPort *port : qAsConst(m_ports))
        port->stop();
    m_pool.waitForDone();
}

void ProductionStation::start(const FirmwareImage &image, const Options &options)
{
    if (dfuRequestTimeout() <= 0)
        dfuInit(dfuTimeout);
    m_image = image;
    m_options = options;
    m_started = true;
    m_accepting = true;
    m_stopped = false;
    m_finished = false;
    m_firstLook = true;
    m_seen.clear();
    m_doneAt.clear();
    m_done = m_failed = m_skipped = 0;
    m_clock.start();
    look();
}

void ProductionStation::look()
{
    if (!m_started)
        return;
    QList<QSerialPortInfo> unnamed;
    QSet<QString> now;
    // A USB device seen before is not opened again to be listed: by now it
    // may be being written, by one of the ports or by another program, and
    // nothing but its writer may send it a request.
    const auto unseen = [this, &now](libusb_device *device) {
        const QString presence = QStringLiteral("usb ") + UsbDeviceList::presenceKey(device);
        if (!m_seen.contains(presence))
            return true;
        now.insert(presence);
        return false;
    };
    m_inventory.listLocal(unseen, &unnamed);
    for (const LocalDevice &device : m_inventory.local()) {
        const QString presence = presenceOf(device, m_inventory);
        now.insert(presence);
        if (m_seen.contains(presence))
            continue;
        if (m_firstLook && !m_options.includePresent) {
            say(Event::Present, device);
            continue;
        }
        arrived(device);
    }
    // A serial port without a serial number: its device could not be told
    // from its own return in its bootloader.
    for (const QSerialPortInfo &port : qAsConst(unnamed)) {
        const LocalDevice device = DeviceInventory::serialDevice(port);
        const QString presence = QStringLiteral("serial %1").arg(port.systemLocation());
        now.insert(presence);
        if (m_seen.contains(presence))
            continue;
        if (m_firstLook && !m_options.includePresent)
            say(Event::Present, device);
        else
            arrived(device);
    }
    m_seen = now;
    m_firstLook = false;
    // The devices awaited back in their bootloaders: each port looks for
    // its own.
    for (StationPort *port : qAsConst(m_ports))
        port->look();
}

void ProductionStation::arrived(const LocalDevice &device)
{
    if (!running())
        return;
    if (device.road == LocalDevice::Usb) {
        const UsbDeviceEntry &entry = m_inventory.usb().at(device.usbIndex);
        for (StationPort *port : qAsConst(m_ports)) {
            // A device coming back for its port, or one appearing where a
            // device is being written (about to be awaited there).
            if (port->awaits(entry) || (port->busy() && port->port() == entry.portPath))
                return;
        }
    }
    if (!device.serialNumber.isEmpty() && m_doneAt.contains(device.serialNumber)) {
        const qint64 since = m_clock.elapsed() - m_doneAt.value(device.serialNumber);
        // Back in its application after its update: nothing to tell.
        if (since < m_options.restartWindowMs)
            return;
        if (!m_options.again) {
            say(Event::AlreadyDone, device, QStringLiteral("Already updated in this run; not written again."));
            return;
        }
    }
    StationPort *port = portFor(device.id);
    if (port->busy())
        return;
    QString skip;
    if (device.serialNumber.isEmpty())
        skip = QStringLiteral("It has no serial number to be known again by; not written.");
    else if (!DeviceCatalog::imageMatches(device.text, m_image.path(), false))
        skip = DeviceCatalog::modelKnown(device.text)
                   ? DeviceCatalog::imageRequirement(device.text, false) + QStringLiteral(" Not written.")
                   : QStringLiteral("Its model is not known; not written.");
    if (!skip.isEmpty()) {
        port->show(device, StationPort::Skipped, skip);
        ++m_skipped;
        say(Event::Skipped, device, skip);
        return;
    }
    say(Event::Writing, device);
    port->write(device, m_image, m_options.verify);
}

StationPort *ProductionStation::portFor(const QString &name)
{
    StationPort *port = m_ports.value(name);
    if (port)
        return port;
    port = new StationPort(name, &m_pool, this);
    port->setProgram(m_options.program);
    port->setReturnTimeout(m_options.returnTimeoutMs);
    connect(port, &StationPort::changed, this, [this, port] { emit portChanged(port); });
    connect(port, &StationPort::ended, this, [this, port](const UpdateOutcome &outcome) { portEnded(port, outcome); });
    m_ports.insert(name, port);
    return port;
}

void ProductionStation::portEnded(StationPort *port, const UpdateOutcome &outcome)
{
    Event event;
    event.port = port->port();
    event.text = port->text();
    event.serialNumber = port->serialNumber();
    event.outcome = outcome;
    event.reason = outcome.reason();
    event.ms = port->elapsedMs();
    if (outcome.wroteImage()) {
        event.kind = Event::Done;
        ++m_done;
        if (!event.serialNumber.isEmpty())
            m_doneAt.insert(event.serialNumber, m_clock.elapsed());
    } else {
        event.kind = Event::Failed;
        ++m_failed;
    }
    emit happened(event);
    // Enough done: no new device is started, and those being written
    // finish (stop() would abort them).
    if (m_options.count > 0 && m_done >= m_options.count)
        m_accepting = false;
    checkFinished();
}

void ProductionStation::say(Event::Kind kind, const LocalDevice &device, const QString &reason)
{
    Event event;
    event.kind = kind;
    event.port = device.id;
    event.text = device.text;
    event.serialNumber = device.serialNumber;
    event.reason = reason;
    emit happened(event);
}

void ProductionStation::stop()
{
    if (!m_started || m_stopped)
        return;
    m_stopped = true;
    m_accepting = false;
    for (StationPort *port : qAsConst(m_ports))
        port->stop();
    checkFinished();
}

bool ProductionStation::idle() const
{
    for (const StationPort *port : m_ports) {
        if (port->busy())
            return false;
    }
    return true;
}

void ProductionStation::checkFinished()
{
    if (m_accepting || m_finished || !idle())
        return;
    m_finished = true;
    emit finished();
}

QVector<StationPort *> ProductionStation::ports() const
{
    QVector<StationPort *> ports;
    for (StationPort *port : m_ports)
        ports.append(port);
    return ports;
}

ProductionStation::Tally ProductionStation::tally() const
{
    Tally tally;
    tally.done = m_done;
    tally.failed = m_failed;
    tally.skipped = m_skipped;
    for (const StationPort *port : m_ports) {
        if (port->busy())
            ++tally.writing;
    }
    const qint64 ms = m_started ? m_clock.elapsed() : 0;
    tally.perHour = ms > 0 ? m_done * 3600000.0 / ms : 0;
    return tally;
}
