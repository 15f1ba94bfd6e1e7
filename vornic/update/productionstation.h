#ifndef PRODUCTIONSTATION_H
#define PRODUCTIONSTATION_H

#include "firmwareimage.h"
#include "update/deviceinventory.h"
#include "updateoutcome.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QVector>

class StationPort;

// A production station: every maker's device that arrives while it runs,
// and that the image fits, is written, each by an update owner of its own
// port (StationPort), several at once. The window and vornic-cli station
// both drive it: they start it, call look() after each hot-plug event (or
// poll), and stop it. No widgets.
//
// A serial number written well in this run is never written again: not
// when it comes back in its application after its update, nor when it is
// plugged in again (unless `again`, and only once its restart is surely
// over). A device that failed is tried again when it arrives again.
class ProductionStation : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        bool verify = true;
        // The devices there at start are written too (else only shown).
        bool includePresent = false;
        // A device done in this run may be written again when it arrives
        // later than `restartWindowMs` after its update ended.
        bool again = false;
        // Longer than any device takes to come back in its application
        // after its update: an arrival of a done device within it is that
        // return, and nothing is said of it.
        int restartWindowMs = 30000;
        // Starts no new device once this many are done, and ends when those
        // being written have ended; 0: runs until stopped.
        int count = 0;
        // How long a device told to restart may take to come back.
        int returnTimeoutMs = 60000;
        // The program each history row is written under.
        QString program = QStringLiteral("vornic");
    };

    struct Event
    {
        enum Kind {
            Present,        // there at start, and left alone
            Writing,        // arrived, and is written
            Done,           // holds the image (outcome says whether verified)
            Failed,         // reason says why
            Skipped,        // the image does not fit, or it cannot be known again; never written
            AlreadyDone     // written earlier in this run; not again
        };
        Kind kind = Present;
        QString port;
        QString text;
        QString serialNumber;
        QString reason;
        UpdateOutcome outcome;
        qint64 ms = 0;      // Done and Failed: how long its update took
    };

    struct Tally
    {
        int done = 0;
        int failed = 0;
        int skipped = 0;
        int writing = 0;
        double perHour = 0;     // devices done per hour since the start
    };

    explicit ProductionStation(QObject *parent = nullptr);
    ~ProductionStation() override;

    // Starts watching for devices to write `image` into; the first look
    // follows at once.
    void start(const FirmwareImage &image, const Options &options);
    // One look at the maker's devices on this computer.
    void look();
    // No new device is started; those being written stop cleanly (a USB
    // download after its block, with DFU ABORT; an awaited device is no
    // longer awaited). finished() follows once none is busy.
    void stop();
    // Started, and still starting new devices.
    bool running() const { return m_started && m_accepting; }
    // No port writes or awaits a device.
    bool idle() const;
    const FirmwareImage &image() const { return m_image; }
    // The ports that have had a device, in the order of their names.
    QVector<StationPort *> ports() const;
    Tally tally() const;

signals:
    void happened(const ProductionStation::Event &event);
    void portChanged(StationPort *port);
    // Stopped (or the count reached), and no port is busy any more.
    void finished();

private:
    void arrived(const LocalDevice &device);
    StationPort *portFor(const QString &name);
    void portEnded(StationPort *port, const UpdateOutcome &outcome);
    void say(Event::Kind kind, const LocalDevice &device, const QString &reason = QString());
    void checkFinished();

    DeviceInventory m_inventory;
    // One thread for each device written at once.
    QThreadPool m_pool;
    FirmwareImage m_image;
    Options m_options;
    bool m_started = false;
    // New arrivals are written (not after stop(), nor once `count` are done).
    bool m_accepting = false;
    bool m_stopped = false;
    bool m_finished = false;
    bool m_firstLook = true;
    // Every device on the last look, as the bus tells one arrival from
    // the next.
    QSet<QString> m_seen;
    QMap<QString, StationPort *> m_ports;
    // When the update of each serial number done in this run ended.
    QHash<QString, qint64> m_doneAt;
    QElapsedTimer m_clock;
    int m_done = 0;
    int m_failed = 0;
    int m_skipped = 0;
};

#endif // PRODUCTIONSTATION_H
