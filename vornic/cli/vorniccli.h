#ifndef VORNICCLI_H
#define VORNICCLI_H

#include "firmwareimage.h"
#include "usb/dfuengine.h"
#include "usb/usbdevicelist.h"

#include <QJsonObject>
#include <QObject>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

class CliConsole;
class CliProgress;
class QElapsedTimer;
class Emitter;
struct libusb_context;

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
    // A device the listing found, on any road.
    struct Listed
    {
        QString road;                   // "usb", "serial" or "network"
        QString id;                     // what `update` takes as DEVICE
        QString text;                   // the row text the window shows
        QString serialNumber;
        QString product;
        QString version;
        bool accessible = true;
        bool bootloader = false;
        int usbIndex = -1;              // into m_usb
        QSerialPortInfo port;
        int check = 0;                  // network: the check's result code
    };

    int list(bool json, const QStringList &addresses);
    // One device, with its result (as JSON with --json) kept in m_result.
    int updateOne(const QString &deviceName, const QString &imagePath);
    int update(const QString &deviceName, const QString &imagePath);
    // Several devices at once (FleetUpdate); `all`: every listed device
    // whose model takes the image (network devices at `addresses`).
    int updateMany(QStringList devices, const QString &imagePath, bool all, const QStringList &addresses,
                   const QStringList &childOptions);
    int updateUsb(const Listed &device, const QString &imagePath);
    int updateSerial(const Listed &device, const QString &imagePath);
    int updateNetwork(const QString &address, const QString &imagePath);

    // Lists the USB devices into m_usb; with `wanted`, only those it lets
    // through, and no other device is opened.
    void listUsb(const UsbDeviceList::Wanted &wanted = UsbDeviceList::Wanted());
    // Lists the USB and serial-port devices into m_local.
    void listLocal(const UsbDeviceList::Wanted &wanted = UsbDeviceList::Wanted());
    // The listed local devices `deviceName` names: by USB port path, serial
    // port, or serial number.
    QVector<Listed> localMatches(const QString &deviceName) const;
    // A device of a model the catalog knows (only such a one can match an
    // image without --force).
    static bool modelKnown(const QString &rowText);
    bool checkImageFits(const QString &rowText, const QString &imagePath, bool networkDevice);
    // Runs the DFU engine on one device; `detached` tells whether it was
    // sent into its bootloader rather than written. Without `mayDetach` a
    // device still in its application is told nothing and the run fails.
    int runDfu(libusb_device *device, const QString &imagePath, bool mayDetach, bool *detached);
    // The second phase: waits for the `awaited` device to come back in its
    // bootloader (see awaitReturn) and writes it; `written` gets the
    // device's row text and USB port. An exit code.
    int writeReturned(const AwaitedDevice &awaited, const Listed &device, const QString &imagePath,
                      QString *written);
    // Says the update is done; returns ExitSuccess.
    int updated(const QString &text, const QString &imagePath, const QElapsedTimer &elapsed,
                const QString &remark = QString());
    // The end of a USB download that succeeded: with --verify, done only
    // when the image was read back whole.
    int updatedUsb(const QString &text, const QString &imagePath, const QElapsedTimer &elapsed);
    // With --verify: written, but nothing could confirm it. ExitNotVerified.
    int notVerified(const QString &text, const QString &imagePath, const QString &why);
    // Waits for the device an update sent into its bootloader; its index in
    // m_usb, or -1 with the exit code in `code`.
    int awaitReturn(const AwaitedDevice &awaited, int *code);
    int usbFailure(int result);
    // The one mapping of an update's outcome to an exit code.
    static int exitCodeOf(const UpdateOutcome &outcome);
    // Says the outcome's reason and returns its exit code.
    int failed(const UpdateOutcome &outcome);
    int fail(int code, const QString &sentence);
    void note(const QString &line);
    void releaseUsb();

    std::FILE *m_out;
    CliConsole *m_console;
    CliProgress *m_progress;
    Emitter *m_emitter;
    QStringList m_errors;
    bool m_force = false;
    bool m_reboot = false;
    bool m_verify = false;
    bool m_json = false;
    // The update's record: device, serialNumber, text, bytes, seconds,
    // outcome, exitCode, message, verified.
    QJsonObject m_result;
    // What the last DFU run's read-back found (with --verify).
    DfuEngine::Verification m_verification = DfuEngine::NotAsked;
    QString m_verificationText;
    // The image, read once at the start of the update (from standard input
    // when a several-devices update started this process).
    FirmwareImage m_image;
    bool m_imageOnStdin = false;
    QByteArray m_imageDigest;           // hex SHA-256 of the image on standard input
    // The image bytes the device took (the result's "bytes").
    qint64 m_bytes = 0;
    int m_waitSeconds = 60;
    int m_defaultPort = 10102;
    libusb_context *m_context = nullptr;
    QVector<UsbDeviceEntry> m_usb;
    QVector<Listed> m_local;
};

#endif // VORNICCLI_H
