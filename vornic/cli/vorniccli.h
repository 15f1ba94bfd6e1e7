#ifndef VORNICCLI_H
#define VORNICCLI_H

#include "firmwareimage.h"
#include "update/deviceinventory.h"
#include "update/productionstation.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

class CliConsole;
class CliProgress;
class UpdateRecord;
class QElapsedTimer;
class Emitter;

// vornic-cli: the device list and the update on the command line, through
// the same cores as the window. Every failure ends in one sentence on the
// error stream and an exit code of its class (see exitcode.h).
class UpdateOutcome;

class VornicCli : public QObject
{
    Q_OBJECT
public:
    VornicCli(std::FILE *out, std::FILE *err, QObject *parent = nullptr);
    ~VornicCli() override;

    // `arguments` as main() has them, the program name first.
    int run(const QStringList &arguments);

    static QString helpText();

private:
    // One device, with its result (as JSON with --json) kept in m_result.
    int updateOne(const QString &deviceName, const QString &imagePath);
    UpdateOutcome update(const QString &deviceName, const QString &imagePath);
    // Several devices at once (FleetUpdate); `all`: every listed device
    // whose model takes the image (network devices at `addresses`).
    int updateMany(QStringList devices, const QString &imagePath, bool all, const QStringList &addresses,
                   const QStringList &childOptions);
    UpdateOutcome updateNetwork(const QString &address, const QString &imagePath);
    // Writes m_image into the USB or serial-port `device` (backed up first
    // with --backup).
    UpdateOutcome writeLocal(const LocalDevice &device, const QString &imagePath, bool verify);
    // Writes back the backup of row m_restoreRow (or of the newest row of
    // `deviceName` that has one), verified.
    UpdateOutcome restore(const QString &deviceName);
    // Reads the firmware of one USB or serial-port device into `filePath`
    // (whole, or not at all).
    int readOne(const QString &deviceName, const QString &filePath);
    // The one USB or serial-port device `deviceName` names, listed without
    // opening any other; false (and *refusal said) when there is none, more
    // than one, or this user may not open it.
    bool findLocal(const QString &deviceName, LocalDevice *device, UpdateOutcome *refusal);
    // The production station: every device that arrives and the image fits
    // is written, until stopped.
    int runStation(const QString &imagePath, ProductionStation::Options options);
    // Reads the image once, from its file or from the parent's standard
    // input: a refusal (said), or Updated when it can be written.
    UpdateOutcome readImage(const QString &imagePath);
    // A several-devices update's process keeps no history row until its
    // image has arrived: until then its parent may still decide that
    // nothing is written (one device under two names), and then no row
    // is wanted. Opens the row now.
    void openRow();

    // False (and *refusal said) when the image is not for the device's model
    // and --force was not given.
    bool checkImageFits(const QString &rowText, const QString &imagePath, bool networkDevice, UpdateOutcome *refusal);
    // Says the update is done.
    void sayUpdated(const QString &text, const QString &imagePath, const QElapsedTimer &elapsed,
                    const QString &remark = QString());
    // With --verify: written, but nothing could confirm it (the reason says why).
    UpdateOutcome notVerified(const UpdateOutcome &outcome, const QString &text, const QString &imagePath);
    // Says the outcome's reason and returns its exit code.
    int failed(const UpdateOutcome &outcome);
    // Says the outcome's reason and returns it.
    UpdateOutcome said(const UpdateOutcome &outcome);
    int fail(int code, const QString &sentence);
    void note(const QString &line);
    // Puts the device found so far into the update's history row; with
    // `write`, writes it there too (before anything is sent, so that a
    // process killed later leaves them behind).
    void describeForHistory(bool write = true);

    std::FILE *m_out;
    CliConsole *m_console;
    CliProgress *m_progress;
    Emitter *m_emitter;
    bool m_force = false;
    bool m_reboot = false;
    bool m_verify = false;
    bool m_backup = false;
    bool m_restoring = false;
    qint64 m_restoreRow = 0;            // 0: the newest row of the device with a backup
    bool m_json = false;
    // The update's record: device, serialNumber, text, bytes, seconds,
    // outcome, exitCode, message, verified.
    QJsonObject m_result;
    // The image, read once at the start of the update (from standard input
    // when a several-devices update started this process).
    FirmwareImage m_image;
    bool m_imageOnStdin = false;
    QByteArray m_imageDigest;           // hex SHA-256 of the image on standard input
    // The parent sent no image: it decided that nothing is written.
    bool m_noImageSent = false;
    QString m_expectedSha256;           // --sha256: the image that is meant
    // The road taken and where the device sits, for the history.
    QString m_road;
    QString m_place;
    // The history row of the update in progress (updateOne's own).
    UpdateRecord *m_history = nullptr;
    // The image bytes the device took (the result's "bytes").
    qint64 m_bytes = 0;
    int m_waitSeconds = 60;
    int m_defaultPort = 10102;
    DeviceInventory m_inventory;
};

#endif // VORNICCLI_H
