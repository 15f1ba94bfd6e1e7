#ifndef STATIONPORT_H
#define STATIONPORT_H

#include "emitter.h"
#include "firmwareimage.h"
#include "update/deviceinventory.h"
#include "update/twophaseupdate.h"
#include "updateoutcome.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QThreadPool;

// One port of a production station: the device that last arrived there and
// its update, owned by a TwoPhaseUpdate of its own. Its USB job runs on the
// station's thread pool with a listing of its own, which nothing else
// relists while the job runs (another port's look at the bus cannot pull
// the device from under it). No widgets.
//
// The port is a USB port path ("1-3.2"), or a serial port's name for a
// device reached by "boot": that device comes back as a USB bootloader
// wherever it sits, known by its serial number, and is written under the
// serial port's name.
class StationPort : public QObject
{
    Q_OBJECT
public:
    enum State {
        Waiting,        // nothing has happened here yet, or the device went
        Writing,        // told to restart, awaited back, or written
        Verifying,      // the image is read back
        Done,           // the device holds the image
        Failed,         // reason() says why
        Skipped         // shown, not written; reason() says why
    };

    StationPort(const QString &port, QThreadPool *pool, QObject *parent = nullptr);

    QString port() const { return m_port; }
    State state() const { return m_state; }
    // Busy: its device is written, or awaited back in its bootloader.
    bool busy() const { return m_state == Writing || m_state == Verifying; }
    // Busy, and its device, told to restart, is awaited back in its
    // bootloader: nothing is written yet.
    bool awaitingReturn() const { return busy() && m_update.awaitingReturn(); }
    // The device's row text, model and serial number.
    QString text() const { return m_text; }
    QString model() const { return m_model; }
    QString serialNumber() const { return m_serialNumber; }
    int percent() const { return m_percent; }
    // Why it failed or was skipped; what the outcome said when it is done.
    QString reason() const { return m_reason; }
    UpdateOutcome outcome() const { return m_outcome; }
    // How long its last update took, from arrival to end.
    qint64 elapsedMs() const { return m_elapsedMs; }
    // Each row in the history is written under this program's name.
    void setProgram(const QString &program) { m_update.setRecordProgram(program); }
    void setReturnTimeout(int ms) { m_update.setReturnTimeout(ms); }

    // A device shown here and not written (`state` Skipped or Waiting).
    void show(const LocalDevice &device, State state, const QString &reason);
    // Writes `device`, which arrived here; a device in its application, or
    // on a serial port, is first told to restart into its bootloader and
    // written when it comes back.
    void write(const LocalDevice &device, const FirmwareImage &image, bool verify);
    // True when `entry`, on the bus now, is the device this port awaits back
    // in its bootloader (the station then leaves it to this port).
    bool awaits(const UsbDeviceEntry &entry) const;
    // One look at the bus while the device is awaited: it is written when
    // it is back.
    void look();
    // Nothing new starts here; a running job stops after its block (USB:
    // the download is aborted), an awaited device is no longer awaited.
    void stop();

signals:
    // The state, the progress or the device changed.
    void changed();
    // The update that write() began has ended (done or failed).
    void ended(const UpdateOutcome &outcome);

private:
    void writeUsb();
    void startJob(const UsbDeviceEntry &entry);
    void bootSerial(const LocalDevice &device);
    void end(const UpdateOutcome &outcome);
    void setState(State state);

    QString m_port;
    QThreadPool *m_pool;
    Emitter m_emitter;
    TwoPhaseUpdate m_update;
    // The listing the running job's device comes from: relisted only when
    // no job runs.
    DeviceInventory m_inventory;
    State m_state = Waiting;
    QString m_text;
    QString m_model;
    QString m_serialNumber;
    int m_percent = 0;
    int m_total = 0;
    QString m_reason;
    QString m_said;
    UpdateOutcome m_outcome { UpdateOutcome::NotStarted };
    QElapsedTimer m_since;
    qint64 m_elapsedMs = 0;
};

#endif // STATIONPORT_H
