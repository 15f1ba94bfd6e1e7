#include "uploadtask.h"

#include "crc16modbus.h"
#include "networkdevice.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

namespace {

const quint32 firstImageAddress = 0x40;  // 'I' space: the header takes 0 to 63
const char startCommand[] = "iwr I0 \r\n";
const char checkCommand[] = "iwr ?\r\n";

const int maxInFlight = 3;              // records sent and not yet acknowledged
// The check's answer is taken as whole once the device has been quiet this
// long after it.
const int answerQuiet = 500;            // ms

// The longest line of `data` when the first continues one of `carried` bytes.
int longestLine(const QByteArray &data, int carried)
{
    int longest = 0;
    int length = carried;
    for (const char c : data) {
        if (c == '\n' || c == '\r') {
            longest = qMax(longest, length);
            length = 0;
        } else {
            ++length;
        }
    }
    return qMax(longest, length);
}

} // namespace

UploadTask::UploadTask(NetworkDevice *device, const QString &fileName, QObject *parent)
    : Task(parent)
    , fileName(fileName)
    , mutex(new QMutex)
{
    host = device->ip();
    port = device->port();
}

UploadTask::~UploadTask()
{
    disconnectSocket();
    delete mutex;
}

char UploadTask::modeOf(const QString &path)
{
    // The file's name alone decides, as it decides which device takes it:
    // a folder named INBOX or BOOT changes nothing.
    const QString name = QFileInfo(path).fileName();
    return name.contains(QLatin1String("INB")) && !name.contains(QLatin1String("BOOT")) ? 'W' : 'I';
}

bool UploadTask::isBootImage(const QString &path)
{
    return QFileInfo(path).fileName().contains(QLatin1String("BOOT"));
}

QByteArray UploadTask::recordLine(char mode, quint32 address, const QByteArray &data)
{
    const QString hexAddress = QStringLiteral("%1").arg(address, 5, 16, QLatin1Char('0')).toUpper();
    return "iwr " + QByteArray(1, mode) + hexAddress.toLatin1() + ' ' + data.toHex().toUpper() + "\r\n";
}

QByteArray UploadTask::recordHeader(quint32 size, quint16 crc, bool bootImage)
{
    QByteArray header(headerSize, char(0xFF));
    header[0] = char(0x55);
    header[1] = char(0x55);
    header[2] = 0;
    header[3] = 0;
    for (int i = 0; i < 4; ++i)
        header[4 + i] = char((size >> (8 * i)) & 0xFF);
    header[8] = char(crc & 0xFF);
    header[9] = char(crc >> 8);
    header[10] = char(bootImage ? 0 : 1);
    return header;
}

bool UploadTask::greeted(bool required)
{
    // A device greets on every new connection; whatever it says then is
    // never an answer (a greeting that holds "OK" would otherwise stand for
    // the start, a record or the check).
    const int before = stage;
    const Greeting greeting = awaitGreeting(QEventLoop::ExcludeUserInputEvents);
    stage = before;
    statusWords.clear();
    if (stopped())
        return false;
    switch (greeting) {
    case Greeting::Heard:
        return true;
    case Greeting::Silent:
        // Asked all the same where the answer does not depend on it; the
        // check of the whole image is made only after the greeting.
        if (!required)
            return true;
        result = NoReply;
        return false;
    case Greeting::Lost:
        result = LinkLost;
        return false;
    case Greeting::Endless:
    case Greeting::Interrupted:
        // (Only a stop interrupts the wait; should anything else, the upload
        // still ends as a failure, never as a success.)
        break;
    }
    result = NoReply;
    return false;
}

void UploadTask::awaitAcknowledgements(int wanted, QEventLoop::ProcessEventsFlags flags)
{
    // One deadline for all of them, from now: acknowledgements that trickle
    // in piece by piece do not extend it.
    timer->stop();
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &eventLoop, &QEventLoop::quit);
    deadline.start(replyTimeout);
    while (ackCount < wanted && result == Checked && !stopped() && deadline.isActive()
           && socket->state() == QAbstractSocket::ConnectedState) {
        if (!runLoop(flags))
            break;
    }
    deadline.stop();
    if (result == Checked && !stopped() && ackCount < wanted)
        result = unanswered();
}

bool UploadTask::writeBlock(const QByteArray &line)
{
    QByteArray block(blockSize, '\r');
    block.replace(0, line.size(), line);
    return socket->write(block) == blockSize;
}

int UploadTask::unanswered() const
{
    // Silence on a live connection is a time-out; a connection the device
    // closed or reset is a lost link, never a refusal.
    return socket && socket->state() == QAbstractSocket::ConnectedState ? NoReply : LinkLost;
}

bool UploadTask::halted() const
{
    return stopped();
}

bool UploadTask::stopped() const
{
    // The application quitting stops the upload like a stop request: its
    // event loops would no longer run.
    QMutexLocker lock(mutex);
    return stopRequested || quitting();
}

void UploadTask::run()
{
    result = Checked;
    refused.clear();
    surplus.clear();
    overlong.clear();
    unrecognised.clear();
    unrecognisedStep.clear();
    notConfirming.clear();
    negated = false;
    checkAsked = false;
    checkUnasked.clear();
    lineLength = 0;
    acknowledged = 0;
    upload();
    // Stopped (the window is closing, Ctrl+C): no result, whatever the last
    // reply, and nothing more goes to the device. A stop is never success.
    if (stopped())
        return;
    if (result != Checked) {
        emit taskFinished(result);
    } else if (mode == 'W') {
        result = RecordsTaken;
        emit taskFinished(result);
    } else {
        runChecker();
        if (stopped())
            return;
        emit taskFinished(result);
    }
}

bool UploadTask::openImage()
{
    // Read once, whole: the records, the header's size and CRC are these
    // bytes, whatever happens to the file while they go out.
    if (!image.isRead() || image.path() != fileName)
        image = FirmwareImage::read(fileName);
    fileSize = image.size();
    return image.isRead();
}

void UploadTask::upload()
{
    if (!doConnect()) {
        result = NoConnection;
        return;
    }
    mode = 'I';
    {
        QMutexLocker lock(mutex);
        stopRequested = false;
    }
    if (!greeted(false)) {
        disconnectSocket();
        return;
    }
    stage = 2;
    qDebug() << "Update task begin";
    QElapsedTimer stopwatch;
    stopwatch.start();

    if (!openImage()) {
        emit taskError(QStringLiteral("File open error!"));
        result = ImageUnreadable;
        disconnectSocket();
        return;
    }

    const bool bootImage = isBootImage(fileName);
    mode = modeOf(fileName);

    quint32 address = 0;
    if (mode == 'I') {
        ackCount = recordCount = 0;
        socket->write(startCommand, sizeof startCommand - 1);
        socket->flush();
        // Its whole answer, not just its first piece: an "OK" left over
        // would be counted for the first record.
        awaitAcknowledgements(1, QEventLoop::ExcludeUserInputEvents);
        if (result != Checked || stopped()) {
            disconnectSocket();
            return;
        }
        address = firstImageAddress;
    }

    ackCount = recordCount = 0;
    emit uploadStart(0, fileSize / recordBytes);
    stage = 3;
    quint16 crc = Crc16Modbus::initialValue;
    const QByteArray &bytes = image.bytes();
    for (int offset = 0; offset < bytes.size();) {
        const int count = qMin(int(recordBytes), bytes.size() - offset);
        const char *data = bytes.constData() + offset;
        if (!writeBlock(recordLine(mode, address, QByteArray::fromRawData(data, count)))) {
            if (result == Checked)
                result = LinkLost;
            break;
        }
        ++recordCount;
        timer->start(replyTimeout);
        wait(QEventLoop::AllEvents);
        if (result != Checked || stopped())
            break;
        address += quint32(count);
        offset += count;
        crc = Crc16Modbus::update(crc, data, qsizetype(count));
        if (recordCount <= fileSize / recordBytes)
            emit uploadProgress(recordCount);
    }

    if (stopped() || result != Checked) {
        qDebug() << "Stop?!";
        disconnectSocket();
        return;
    }
    qDebug().noquote() << "Total: " + QString::number(fileSize / recordBytes + 1) << "Sent: "
                       << recordCount << " Received: " << ackCount;
    qDebug().noquote() << "time: " + QString::number(stopwatch.elapsed() / 1000.0) + " sec";

    // The last acknowledgements may trail the records by up to three; every
    // record must be acknowledged before the image counts as sent. An
    // "ERROR" among them, a lost link or the time running out end the
    // upload there: no header goes out.
    stage = 6;
    awaitAcknowledgements(recordCount, QEventLoop::AllEvents);
    if (stopped() || result != Checked) {
        disconnectSocket();
        return;
    }

    if (mode == 'I') {
        recordCount = 0;
        ackCount = 0;
        stage = headerStage;
        qDebug() << "----Record header----";
        const QByteArray header = recordHeader(quint32(fileSize), crc, bootImage);
        const QByteArray line = "iwr I1 " + header.mid(1).toHex().toUpper() + "\r\n";
        if (!writeBlock(line)) {
            if (result == Checked)
                result = LinkLost;
        } else {
            // The header, too, must be taken.
            awaitAcknowledgements(1, QEventLoop::ExcludeUserInputEvents);
        }
    }
    disconnectSocket();
}

void UploadTask::runChecker()
{
    // Every record and the header were taken: the image is on the device.
    // A connection for the check that cannot be made, or goes before the
    // question, leaves it there unchecked; the device did not fail to take
    // it.
    if (!doConnect()) {
        result = NotChecked;
        checkUnasked = QStringLiteral("no connection for it");
        return;
    }
    // The device's greeting comes first (the check waits for it, as the
    // device expects); only what comes after the question answers it.
    if (!greeted(true)) {
        if (result == LinkLost) {
            result = NotChecked;
            checkUnasked = QStringLiteral("the device closed the connection for it");
        }
        disconnectSocket();
        return;
    }

    qDebug() << "----Checker running----";
    stage = checkStage;
    checking = true;
    checkPassed = false;
    checkAnswer.clear();
    // An answer is judged once the line with its status word has ended, or
    // once the device has fallen quiet after saying something: "NOK" or
    // "OKAY" is not understood at once, not after the reply time.
    QTimer quiet;
    quiet.setSingleShot(true);
    quiet.setInterval(answerQuiet);
    connect(&quiet, &QTimer::timeout, this, [this] { judgeCheck(true); });
    checkQuiet = &quiet;
    socket->write(checkCommand, sizeof checkCommand - 1);
    checkAsked = true;
    // One deadline for the whole answer, from the request: pieces that
    // trickle in do not extend it.
    timer->start(replyTimeout);
    wait(QEventLoop::ExcludeUserInputEvents);
    checkQuiet = nullptr;
    // A device that answered and closed the connection said all it will:
    // its answer is judged as it stands.
    if (result == Checked && !stopped())
        judgeCheck(true);
    checking = false;
    // Only an "OK" after the check command is success; a closed connection,
    // silence or an answer without a status word is not.
    if ((result == Checked || result == NoReply) && !stopped() && !checkPassed) {
        result = unanswered();
        unrecognised = checkAnswer.trimmed().left(maxQuoted);
        unrecognisedStep = stepName();
    }
    disconnectSocket();
}

void UploadTask::judgeCheck(bool quiet)
{
    if (!checking || checkPassed || result != Checked)
        return;
    if (StatusWordCounter::hasRefusal(checkAnswer)) {
        refused = stepName();
    } else {
        const int ok = StatusWordCounter::findWord(checkAnswer, "OK");
        const bool lineEnded = ok >= 0
            && (checkAnswer.indexOf('\n', ok) >= 0 || checkAnswer.indexOf('\r', ok) >= 0);
        if (!quiet && !lineEnded)
            return;
        if (checkAnswer.trimmed().isEmpty())
            return;
        if (ok >= 0 && !StatusWordCounter::negatesOk(checkAnswer)) {
            timer->stop();
            checkPassed = true;
            emit idleFinished();
            return;
        }
        // A confirmation the answer takes back, or no status word at all:
        // the device answered, and what it said is no confirmation.
        notConfirming = checkAnswer.trimmed().left(maxQuoted);
        negated = ok >= 0;
    }
    timer->stop();
    if (checkQuiet)
        checkQuiet->stop();
    result = Refused;
    emit errorResponse();
    emit idleFinished();
}

void UploadTask::mainProcess()
{
    QByteArray data;
    while (socket->bytesAvailable() > 0)
        data.append(socket->readAll());
    if (checking) {
        // The answer is one short line: a device that floods is refused,
        // and does not grow the process.
        if (checkAnswer.size() + data.size() > maxAnswer) {
            timer->stop();
            result = Refused;
            overlong = stepName();
            emit errorResponse();
            emit idleFinished();
            return;
        }
        checkAnswer += data;
        if (checkQuiet && !data.trimmed().isEmpty())
            checkQuiet->start();
        judgeCheck(false);
        return;
    }
    timer->stop();
    response = data;
    // No answer of this protocol runs over 4 KiB without a line end; a
    // device that sends one is not understood, whatever "OK" follows.
    const int lineEnd = qMax(data.lastIndexOf('\n'), data.lastIndexOf('\r'));
    if (longestLine(data, lineLength) > maxAnswer) {
        result = Refused;
        overlong = stepName();
        emit errorResponse();
        emit idleFinished();
        return;
    }
    lineLength = lineEnd < 0 ? lineLength + data.size() : data.size() - lineEnd - 1;

    // Replies are examined across the boundary of two reads: a status word
    // split over them (an "ERROR" above all) must not go unseen.
    const StatusWordCounter::Result words = statusWords.feed(response);
    // One answer per request: more acknowledgements than requests sent can
    // stand for none of them, and would let a record that was never
    // answered count as taken.
    const int asked = stage == 2 || stage == headerStage ? 1 : recordCount;
    if (ackCount + words.acknowledgements > asked) {
        qDebug() << "More answers than requests!";
        result = Refused;
        surplus = QStringLiteral("%1 acknowledgements to %2 %3").arg(ackCount + words.acknowledgements).arg(asked)
                      .arg(stage == 2 ? QStringLiteral("start command") : stage == headerStage
                                            ? QStringLiteral("header") : QStringLiteral("records"));
        ackCount = asked;
        emit errorResponse();
        emit idleFinished();
        return;
    }
    if (words.refused) {
        qDebug() << "Error!";
        result = Refused;
        // The refusal answers the first request left unanswered.
        ackCount += words.acknowledgements;
        refused = stepName();
        emit errorResponse();
        emit idleFinished();
        return;
    }
    // Kept to say what the device sent instead of an answer, should none come.
    if (!words.acknowledgements && !data.trimmed().isEmpty()) {
        unrecognised = data.trimmed().left(maxQuoted);
        unrecognisedStep = stepName();
    }
    if (words.acknowledgements) {
        unrecognised.clear();
        ackCount += words.acknowledgements;
        if (stage == 3 || stage == 6)
            acknowledged = qMin(fileSize, ackCount * recordBytes);
        qDebug() << "response OK!";
        qDebug() << "resp number: " << ackCount;
    }
    response.clear();
    emit idleFinished();
}

void UploadTask::bytesWritten(qint64 bytes)
{
    // A record waits only for being sent while no more than three are
    // unacknowledged: up to three are in flight before the device's answers
    // pace the sender. (Counting the first three alone would let the flight
    // shrink to one whenever one read brings several acknowledgements.)
    if (stage == 3 && recordCount - ackCount <= maxInFlight)
        emit idleFinished();
    qDebug().noquote() << QString::number(bytes) + " bytes written..." << "message number: " << recordCount;
}

void UploadTask::connected()
{
    stage = 1;
    emit idleFinished();
    qDebug() << "connected...";
}

void UploadTask::disconnected()
{
    stage = 8;
    emit idleFinished();
    qDebug() << "disconnected...";
}

void UploadTask::displayError(QAbstractSocket::SocketError socketError)
{
    // Logged only: what a closed or reset connection means depends on what
    // was still outstanding, which the waits decide (a lost link, never a
    // refusal of the image; nothing at all once every answer is in).
    Task::displayError(socketError);
    emit idleFinished();
}

void UploadTask::handlingTimeout()
{
    result = NoReply;
    eventLoop.quit();
}

void UploadTask::stop()
{
    QMutexLocker lock(mutex);
    stopRequested = true;
    if (timer)
        timer->stop();
    emit idleFinished();
}

QString UploadTask::startCommandText()
{
    return QString::fromLatin1(startCommand);
}
