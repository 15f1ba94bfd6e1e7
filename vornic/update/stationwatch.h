#ifndef STATIONWATCH_H
#define STATIONWATCH_H

#include <QObject>
#include <QTimer>

class ProductionStation;
class UsbHotplugMonitor;

// What tells a production station to look at the bus: each hot-plug event
// (one look for a burst of them), and a look every second besides, so that
// without udev's events (a container, say) devices are still seen to come
// and go. The window and the command line both feed their station through
// one of these. No widgets.
class StationWatch : public QObject
{
    Q_OBJECT
public:
    explicit StationWatch(ProductionStation *station, QObject *parent = nullptr);

    void start();
    void stop();

    static const int pollInterval = 1000;   // ms

private:
    void lookSoon();

    ProductionStation *m_station;
    UsbHotplugMonitor *m_monitor = nullptr;
    QTimer m_soon;
    QTimer m_poll;
};

#endif // STATIONWATCH_H
