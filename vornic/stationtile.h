#ifndef STATIONTILE_H
#define STATIONTILE_H

#include "update/stationport.h"

#include <QFrame>

class QLabel;
class QProgressBar;

// One port of the production station's window, large enough to be read
// from a metre away: the port, the model and serial number of the device
// that last arrived there, its progress and its state, in a colour that
// stays until the next device arrives on that port.
class StationTile : public QFrame
{
    Q_OBJECT
public:
    // What a tile shows; read from the port as it changes.
    struct View
    {
        QString port;
        QString model;
        QString serialNumber;
        StationPort::State state = StationPort::Waiting;
        // Told to restart, and awaited back in its bootloader.
        bool awaitingReturn = false;
        int percent = 0;
        // Why it failed or was skipped; for a device done, whether it was
        // read back.
        QString detail;
        qint64 elapsedMs = 0;
    };

    explicit StationTile(QWidget *parent = nullptr);

    void show(const View &view);
    static View viewOf(const StationPort *port);

    // The word the tile shows for its state (what a test reads too).
    QString stateText() const;
    StationPort::State state() const { return m_view.state; }

private:
    View m_view;
    QLabel *m_port;
    QLabel *m_device;
    QLabel *m_state;
    QLabel *m_detail;
    QProgressBar *m_progress;
};

#endif // STATIONTILE_H
