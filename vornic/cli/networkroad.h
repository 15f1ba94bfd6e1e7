#ifndef NETWORKROAD_H
#define NETWORKROAD_H

#include "updateoutcome.h"

#include <QObject>
#include <QString>

class CliProgress;
class FirmwareImage;
class NetworkDevice;

// vornic-cli's network road once the device has been checked: the upload
// of the image (Ctrl+C and SIGTERM stop it after its current record), then
// the reboot or the close of the image, as the window's follow-ups.
class NetworkRoad : public QObject
{
    Q_OBJECT
public:
    explicit NetworkRoad(CliProgress *progress, QObject *parent = nullptr);

    // The device's check before anything is sent: Updated when it may be
    // written (`warning` then says what --force let through), else why not.
    UpdateOutcome check(NetworkDevice *device, const QString &where, bool force, QString *warning);
    // `text` is the device's row text, `where` its address and port.
    UpdateOutcome run(NetworkDevice *device, const FirmwareImage &image, bool verify, bool reboot,
                      const QString &text, const QString &where);
    // The image bytes the device acknowledged.
    long bytesTaken() const { return m_bytes; }
    // The device had the whole image checked (an 'I' image).
    bool checked() const;
    // With `reboot`: the device was told to restart (not after an image
    // whose check could not be asked), and whether it refused.
    bool rebooted() const { return m_rebooted; }
    bool rebootRefused() const { return m_rebootRefused; }

private:
    CliProgress *m_progress;
    long m_bytes = 0;
    int m_result = -1;
    bool m_rebooted = false;
    bool m_rebootRefused = false;
};

#endif // NETWORKROAD_H
