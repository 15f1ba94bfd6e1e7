#ifndef UPLOADTASK_H
#define UPLOADTASK_H

#include "firmwareimage.h"
#include "statuswordcounter.h"
#include "task.h"
#include "updateoutcome.h"

#include <QByteArray>
#include <QString>

class NetworkDevice;
class QMutex;
class QTimer;

// Writes a firmware image into a network device as "iwr" write records of
// 32 bytes, each in a 536-byte block padded with CR, with up to three
// records unacknowledged. In 'I' mode (every image but an "INB" one without
// "BOOT" in its file name) the image is announced with "iwr I0 ", followed
// by a header record with its size and CRC-16/MODBUS, and checked on a
// second connection with "iwr ?". On each connection the device's greeting
// is awaited and set aside before the first command. The image is read
// once, whole, before anything is sent. Its Result comes through
// taskFinished(int); outcome() turns it into the update's outcome.
// After stop() the upload ends after the current record, without a result,
// and sends nothing more.
class UploadTask : public Task
{
    Q_OBJECT
public:
    static const int blockSize = 536;
    static const int recordBytes = 32;
    static const int headerSize = 64;

    // What came of the upload (the numbers are the window's result codes).
    enum Result {
        Checked = 0,            // done, and checked by the device ('I')
        NoConnection = 2,
        ImageUnreadable = 7,
        // an "ERROR"/"Unknown" reply, more answers than requests, or a check
        // answer that is no confirmation
        Refused = 8,
        // no reply in time (every record, the header and the check must be
        // answered; the check also waits for the greeting)
        NoReply = 9,
        LinkLost = 10,          // closed or reset by the device
        RecordsTaken = 11,      // every record acknowledged ('W' mode: no header, no check)
        NotChecked = 12         // every record and the header taken; the check could not be asked
    };

    UploadTask(NetworkDevice *device, const QString &fileName, QObject *parent = nullptr);
    ~UploadTask() override;

    void run() override;

    // The command line of a data record (without the CR filler).
    static QByteArray recordLine(char mode, quint32 address, const QByteArray &data);
    // The 64-byte header record: magic, size, CRC (low byte first), kind.
    static QByteArray recordHeader(quint32 size, quint16 crc, bool bootImage);
    // What a result other than Checked and RecordsTaken means, in one
    // sentence naming the device by `where` (address and port).
    QString problemText(const QString &where) const;
    // The image bytes the device acknowledged, in records.
    int acknowledgedBytes() const { return acknowledged; }
    // An image read earlier (once for several devices): sent instead of
    // reading the file, when it was read from `fileName`.
    void setImage(const FirmwareImage &image) { this->image = image; }

    // The start-of-image command, which also closes an image the device
    // checked when no reboot follows.
    static QString startCommandText();
    // The update's outcome of `result`; `verify`: confirmation was asked
    // (the device's check of an 'I' image is its verification).
    UpdateOutcome outcome(int result, const QString &where, bool verify) const;
    // Why a 'W' image is written but not verified.
    static QString uncheckedText();

    // How an image is written, by its file name alone: 'W' records for a
    // name with "INB" and without "BOOT", else 'I' records.
    static char modeOf(const QString &path);
    // A name with "BOOT": its header's kind flag is 0.
    static bool isBootImage(const QString &path);

public slots:
    void displayError(QAbstractSocket::SocketError socketError) override;
    void connected() override;
    void disconnected() override;
    void mainProcess() override;
    void handlingTimeout() override;
    void bytesWritten(qint64 bytes) override;
    void stop() override;

private:
    bool openImage();
    void upload();
    void runChecker();
    // Decides on the check's answer so far: a refusal at once; an OK once
    // its line has ended (or the device is `quiet`), unless the answer takes
    // it back; anything else the device said, once it is quiet.
    void judgeCheck(bool quiet);
    // Writes one command line in its CR-padded block; false when the socket
    // did not take it all.
    bool writeBlock(const QByteArray &line);
    bool stopped() const;
    bool halted() const override;
    // Awaits the device's greeting on a new connection and sets it aside.
    // False, with the result set, when the conversation cannot go on; a
    // device that does not greet may still be asked unless it is `required`.
    bool greeted(bool required);
    // Waits until `wanted` acknowledgements are counted; otherwise sets the
    // result (an error word, silence, a lost link). Stops end it too.
    void awaitAcknowledgements(int wanted, QEventLoop::ProcessEventsFlags flags);
    // The result for an answer that did not come: NoReply or LinkLost.
    int unanswered() const;

    // Stages of the upload (1 to 8) and of the check's connection.
    static constexpr int headerStage = 7;
    static constexpr int checkStage = 11;
    // The bytes of a device's words quoted in a message.
    static constexpr int maxQuoted = 60;
    int stage = 0;
    QString fileName;
    QMutex *mutex;
    QByteArray response;
    int fileSize = 0;
    int ackCount = 0;
    int recordCount = 0;
    int result = 0;
    bool stopRequested = false;
    // The image, read once.
    FirmwareImage image;
    char mode = 'I';
    // While the answer to "iwr ?" is awaited: pieces are gathered until one
    // holds a status word, so that a late greeting is not taken for it.
    bool checking = false;
    bool checkPassed = false;
    QByteArray checkAnswer;
    // Restarted by every piece of the check's answer (see judgeCheck).
    QTimer *checkQuiet = nullptr;
    bool checkAsked = false;
    // Why the check could not be asked (NotChecked).
    QString checkUnasked;
    // The check's answer when it was no confirmation (Refused), and
    // whether that is because it took its OK back.
    QByteArray notConfirming;
    bool negated = false;
    // The step being answered, for messages ("record 5 of 32").
    QString stepName() const;

    QString refused;
    QString surplus;
    // The step answered with a line longer than any answer (Refused).
    QString overlong;
    // What the device sent that held no status word, when no answer came,
    // and to which step.
    QByteArray unrecognised;
    QString unrecognisedStep;
    // Bytes of the device's current line so far, across reads.
    int lineLength = 0;
    int acknowledged = 0;
    // The status words of the upload's answers, counted across reads.
    StatusWordCounter statusWords;
};

#endif // UPLOADTASK_H
