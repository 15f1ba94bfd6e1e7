#include "stationwatch.h"

#include "update/productionstation.h"
#include "usbhotplugmonitor.h"

StationWatch::StationWatch(ProductionStation *station, QObject *parent)
    : QObject(parent)
    , m_station(station)
{
    m_soon.setSingleShot(true);
    connect(&m_soon, &QTimer::timeout, m_station, &ProductionStation::look);
    connect(&m_poll, &QTimer::timeout, m_station, &ProductionStation::look);
}

void StationWatch::start()
{
    if (!m_monitor) {
        m_monitor = new UsbHotplugMonitor(this);
        connect(m_monitor, &UsbHotplugMonitor::deviceArrived, this, &StationWatch::lookSoon);
        connect(m_monitor, &UsbHotplugMonitor::deviceRemoved, this, &StationWatch::lookSoon);
        connect(m_monitor, &UsbHotplugMonitor::serialPortsChanged, this, &StationWatch::lookSoon);
        // Without events the poll alone sees the devices.
        m_monitor->start();
    }
    m_poll.start(pollInterval);
}

void StationWatch::stop()
{
    m_poll.stop();
    m_soon.stop();
    delete m_monitor;
    m_monitor = nullptr;
}

void StationWatch::lookSoon()
{
    if (!m_soon.isActive())
        m_soon.start(0);
}
