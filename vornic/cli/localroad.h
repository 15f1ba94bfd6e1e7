#ifndef LOCALROAD_H
#define LOCALROAD_H

#include "updateoutcome.h"

#include <QObject>
#include <QString>
#include <QStringList>

class CliConsole;
class CliProgress;
class DeviceInventory;
class Emitter;
class FirmwareImage;
class TwoPhaseUpdate;
struct LocalDevice;
struct UsbDeviceEntry;

// vornic-cli's USB and serial roads: one device written through the update
// owner, which vornic-cli feeds looks at the bus (it has no hot-plug
// events) while the device is awaited back in its bootloader. Ctrl+C and
// SIGTERM stop it.
class LocalRoad : public QObject
{
    Q_OBJECT
public:
    LocalRoad(Emitter *emitter, CliConsole *console, CliProgress *progress, QObject *parent = nullptr);

    // Writes `image` into `device`, listed by `inventory`; a device in its
    // application, or one on a serial port, is first sent into its
    // bootloader and awaited for `waitSeconds`. With `readInto`, reads the
    // device's firmware there instead, the same way.
    UpdateOutcome run(DeviceInventory *inventory, const LocalDevice &device, const FirmwareImage &image, bool verify,
                      int waitSeconds, QByteArray *readInto = nullptr);
    // Back up before writing (see TwoPhaseUpdate::setBackup).
    void setBackup(bool backup) { m_backup = backup; }
    // The device written and where it sits ("<row text> (USB <port>)").
    QString written() const { return m_written; }
    // The image bytes the device took.
    long bytesTaken() const { return m_bytes; }

signals:
    // The device's firmware was kept in the backup store; writing begins.
    void backedUp(const QString &sha256, qint64 size);

private:
    UpdateOutcome write(TwoPhaseUpdate *job, const UsbDeviceEntry &entry);
    UpdateOutcome bootSerial(TwoPhaseUpdate *job, const LocalDevice &device);
    // Looks at the bus until the awaited device is back, then writes it.
    UpdateOutcome writeReturned(TwoPhaseUpdate *job, DeviceInventory *inventory, int waitSeconds);

    Emitter *m_emitter;
    CliConsole *m_console;
    CliProgress *m_progress;
    QStringList m_errors;
    QString m_written;
    long m_bytes = 0;
    bool m_reading = false;
    bool m_backup = false;
};

#endif // LOCALROAD_H
