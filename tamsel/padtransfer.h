#ifndef PADTRANSFER_H
#define PADTRANSFER_H

#include "firmwareimage.h"
#include "sub20.h"
#include "updatehistory.h"
#include "updateoutcome.h"

#include <QString>

#include <atomic>
#include <functional>

class Emitter;

// The two ways an image goes into the pad through the SUB-20 adapter:
// infrared boot frames, or Modbus Write File Record requests over RS-485.
// Shared by the window's runs and the command line. Reports only through
// the Emitter, from whatever thread it runs on; the handle and the stop
// flag are read at every step, since a removal or a Stop may change them.
class PadTransfer
{
public:
    PadTransfer(Emitter *emitter, const std::atomic<sub_handle> &handle, const std::atomic<bool> &stop);

    // Reads the image once, for an update and its read-back; an image that
    // cannot be read, or is empty, is said (and the transfers refuse it).
    FirmwareImage readImage(const QString &imagePath);

    // 0 when the whole image went out, -1 for an image problem or a stop,
    // else the failing adapter or Modbus code. The bytes are the image's as
    // it was read, whatever becomes of the file meanwhile.
    int irBoot(const FirmwareImage &image);
    // Every record goes to the one pad at `slaveAddress` (0: broadcast).
    int modbusUpdate(const FirmwareImage &image, int slaveAddress);
    // After a stop: the pad had answered every record when it came.
    bool wholeImageAnswered() const { return m_wholeImageAnswered; }

    // Reads the records back with Read File Record and compares them with
    // the image: 0 when the pad holds the image; notVerifiable when it
    // cannot say (the image was broadcast, or a read was not answered,
    // refused or failed: notVerifiableWhy() says which); imageDiffers (said
    // where); -1 for an image problem or a stop.
    int modbusVerify(const FirmwareImage &image, int slaveAddress);
    static const int notVerifiable = -2;
    static const int imageDiffers = -3;
    // Why a pad at `slaveAddress` cannot be verified at all.
    static QString notVerifiableText(int slaveAddress);
    // Reads the pad's image with Read File Record, record after record from
    // record 0, until the pad says there are no more (an exception for the
    // record's address, or a reply with no records): 0, or why not (said).
    // The pad keeps no length: the image comes in whole records, the last
    // one as the pad holds it.
    int modbusRead(int slaveAddress, QByteArray *firmware);
    // What a failed read means beyond itself (a backup: nothing was
    // written), said after each of its errors.
    void setReadConsequence(const QString &text) { m_readConsequence = text; }
    // The pad cannot be read: a broadcast, a pad that answers no read,
    // holds nothing, or never says there are no more.
    static const int unreadable = -4;
    // What came of modbusRead(), its result.
    UpdateOutcome readOutcome(int result) const;
    // A pad's Modbus address as every message and history row writes it: "0x0A".
    static QString addressText(int slaveAddress);
    // Why the last read-back found the image not verifiable.
    QString notVerifiableWhy() const { return m_notVerifiableWhy; }

    // The write and, when asked, the read-back, as the window and
    // tamsel-cli both run them.
    enum Road { InfraredRoad, ModbusRoad };
    enum Verification {
        NotAsked = 0,
        Verified = 1,           // every record read back equal
        NotVerifiable = 2,      // written; the pad was not read back (notVerifiableWhy)
        NoWayBack = 3           // written by infrared, which has no way back
    };
    // 0 when the image was written (and, with `verify`, found equal, or
    // found impossible to read back: see *verification); otherwise as
    // irBoot, modbusUpdate or modbusVerify. `readingBack` is called between
    // the write and the read-back.
    int update(const FirmwareImage &image, Road road, int slaveAddress, bool verify, Verification *verification,
               const std::function<void()> &readingBack = {});
    // After update(): the whole image went out (whatever the read-back found).
    bool written() const { return m_written; }
    // What the history row of an update knows before it starts.
    static UpdateHistory::Entry historyEntry(Road road, int slaveAddress, const QString &imagePath);


    // What came of update(), its result and verification, for the window,
    // tamsel-cli and the history alike; a stop is told by the stop flag.
    UpdateOutcome outcome(int result, Verification verification, Road road, int slaveAddress) const;

    // Modbus results that callers tell apart: an exception reply, no reply.
    static const int modbusException = 40;
    static const int modbusTimeout = 138;

    static const int irBlockSize = 48;
    static const int modbusBlockSize = 32;
    // Record numbers 0 to 9999.
    static const int modbusRecordLimit = 10000;

    // Says an error, and keeps the first as the reason of the outcome.
    void sayError(const QString &text);

private:
    void sayReadError(const QString &text);

    Emitter *m_emitter;
    const std::atomic<sub_handle> &m_handle;
    const std::atomic<bool> &m_stop;
    bool m_wholeImageAnswered = false;
    bool m_written = false;
    QString m_notVerifiableWhy;
    QString m_firstError;
    QString m_readConsequence;
};

#endif // PADTRANSFER_H
