#ifndef SCANNERTASK_H
#define SCANNERTASK_H

#include "task.h"

#include <QStringList>

class NetworkDevice;

// Decides whether one network device may be updated over the network and
// learns its serial number, then reports one Result to its owner's slot
// addNetworkDeviceToList(QString, int) by a queued call.
class ScannerTask : public Task
{
    Q_OBJECT
public:
    ScannerTask(QObject *owner, NetworkDevice *device, QObject *parent = nullptr);

    void run() override;

    // What the check found (the numbers are the window's result codes).
    enum Result {
        Identified = 0,         // update allowed
        NotTheMakers = 1,       // on a local subnet, with a MAC address outside the maker's prefix (no TCP traffic)
        NoConnection = 2,
        OldPrimoraFirmware = 3, // serial "05...", firmware below 3.2
        OldFirmware = 4,        // another serial, firmware below 1.3
        OldBootloader = 5,      // bootloader below 1.1, or none named
        Unidentified = 6,       // the answer named neither serial nor version
        AnswerTooLong = 7       // the answer ran past the most that is read
    };
    // What AnswerTooLong means, naming the device by `where`.
    static QString answerTooLongText(const QString &where);

    // True when the device sits on a directly attached IPv4 subnet of one
    // of this computer's interfaces (loopback, addresses ending in ".1" and
    // link-local "169..." addresses do not count).
    bool onLocalSubnet() const;
    // 0 the MAC address carries the maker's prefix (the serial number is
    // derived from it), 1 it does not, 2 it could not be learned.
    int checkMacAddress();
    bool resolveMacAddress(unsigned char mac[6], const char *ipv4Text);
    void serialNumberFromMac(const QString &macText);

    // The identification over TCP: the query, the firmware rule and the
    // bootloader rule; the connection is closed afterwards in every case.
    int identify();
    // Sends "set" and parses the answer: Identified, NoConnection,
    // Unidentified or AnswerTooLong.
    int queryIdentity();
    // Reads "S/N" and "version" from the answer: Identified when one of
    // them was found, Unidentified when neither was.
    int parseIdentity();
    // The same, from the bytes of an answer (up to a NUL).
    static int identityIn(const QByteArray &reply, QString *serialNumber, QString *firmwareVersion);
    // The first version-like text ("1.1", "2.0.3", "1.*") in an answer to
    // "boot v", or an empty string.
    static QString bootloaderVersionIn(const QByteArray &reply);
    // Sends "boot v": true when the bootloader is 1.1 or newer.
    bool checkBootloaderVersion();
    // True when `version` is numbers joined by dots ("3.2", "1.10",
    // "1.0.5") and is at least `minimum`, compared number
    // by number with missing ones as 0: 3.1.9 < 3.2 < 3.10. Any other text
    // ("3.2-beta", "2.*", nothing at all) is no version and reaches no
    // minimum.
    static bool versionAtLeast(const QString &minimum, const QString &version);

    QString serialNumber;
    QString firmwareVersion;

public slots:
    // Ends the wait in progress; nothing more is asked, and the check
    // reports NoConnection.
    void stop() override;

private:
    bool halted() const override;

    bool m_stopped = false;
};

#endif // SCANNERTASK_H
