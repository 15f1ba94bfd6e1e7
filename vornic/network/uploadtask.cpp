#include "uploadtask.h"

#include "crc16modbus.h"
#include "imagefile.h"
#include "networkdevice.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

namespace {

const quint32 firstImageAddress = 0x40;  // 'I' space: the header takes 0 to 63
const quint32 recordAddressLimit = 0x100000;  // five hex digits
const char startCommand[] = "iwr I0 \r\n";
const char checkCommand[] = "iwr ?\r\n";
// How long a new connection is given to greet before the check is sent.
const int greetingGrace = 200;          // ms

bool hasStatusWord(const QByteArray &text)
{
    return text.contains("OK") || text.contains("ERROR") || text.contains("Unknown");
}

// Occurrences of `word` in `text` that end after its first `old` bytes (the
// carry-over of the previous read, already counted there).
int newOccurrences(const QByteArray &text, int old, const QByteArray &word)
{
    int count = 0;
    for (int at = text.indexOf(word, qMax(0, old - word.size() + 1)); at >= 0;
         at = text.indexOf(word, at + word.size()))
        ++count;
    return count;
}

const int longestStatusWord = 7;        // "Unknown"
const int maxInFlight = 3;              // records sent and not yet acknowledged

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
    if (file)
        std::fclose(file);
    delete mutex;
}

qint64 UploadTask::largestImageSize(char mode)
{
    return qint64(recordAddressLimit) - (mode == 'I' ? firstImageAddress : 0);
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

bool UploadTask::writeBlock(const QByteArray &line)
{
    QByteArray block(blockSize, '\r');
    block.replace(0, line.size(), line);
    return socket->write(block) == blockSize;
}

bool UploadTask::stopped() const
{
    QMutexLocker lock(mutex);
    return stopRequested;
}

void UploadTask::run()
{
    file = nullptr;
    result = 0;
    upload();
    // Stopped (the window is closing): no result, whatever the last reply.
    if (stopped())
        return;
    if (result != 0) {
        emit taskFinished(result);
    } else if (mode == 'W') {
        result = 11;
        emit taskFinished(result);
    } else {
        runChecker();
        emit taskFinished(result);
    }
}

bool UploadTask::openImage()
{
    long size = 0;
    file = openImageFile(fileName, &size);
    fileSize = int(size);
    return file != nullptr;
}

void UploadTask::upload()
{
    if (!doConnect()) {
        result = 2;
        return;
    }
    statusCarry.clear();
    mode = 'I';
    {
        QMutexLocker lock(mutex);
        stopRequested = false;
    }
    qDebug() << "Update task begin";
    QElapsedTimer stopwatch;
    stopwatch.start();

    if (!openImage()) {
        emit taskError(QStringLiteral("File open error!"));
        result = 7;
        disconnectSocket();
        return;
    }

    bool bootImage = false;
    if (fileName.contains(QLatin1String("BOOT"))) {
        bootImage = true;
    } else if (fileName.contains(QLatin1String("INB"))) {
        mode = 'W';
    }
    // Record addresses have five hex digits: an image that would run past
    // them is refused before anything is sent.
    const qint64 largest = largestImageSize(mode);
    if (fileSize > largest) {
        emit taskError(QStringLiteral("The firmware image %1 is too large for a network update: at most %2 bytes fit "
                                      "in the device's records. Nothing was written.")
                           .arg(fileName)
                           .arg(largest));
        std::fclose(file);
        file = nullptr;
        result = 7;
        disconnectSocket();
        return;
    }

    quint32 address = 0;
    if (mode == 'I') {
        ackCount = recordCount = 0;
        timer->start(replyTimeout);
        socket->write(startCommand, sizeof startCommand - 1);
        socket->flush();
        wait(QEventLoop::ExcludeUserInputEvents);
        if (result != 0) {
            std::fclose(file);
            file = nullptr;
            disconnectSocket();
            return;
        }
        address = firstImageAddress;
    }

    ackCount = recordCount = 0;
    emit uploadStart(0, fileSize / recordBytes);
    stage = 3;
    quint16 crc = Crc16Modbus::initialValue;
    char data[recordBytes];
    for (;;) {
        const size_t count = std::fread(data, 1, recordBytes, file);
        if (count == 0) {
            if (std::ferror(file)) {
                qDebug() << "reading error";
                result = 7;
            }
            break;
        }
        if (!writeBlock(recordLine(mode, address, QByteArray(data, int(count))))) {
            result = 8;
            break;
        }
        ++recordCount;
        timer->start(replyTimeout);
        wait(QEventLoop::AllEvents);
        if (result != 0 || stopped())
            break;
        address += quint32(count);
        crc = Crc16Modbus::update(crc, data, qsizetype(count));
        if (recordCount <= fileSize / recordBytes)
            emit uploadProgress(recordCount);
    }
    std::fclose(file);
    file = nullptr;

    if (stopped() || result != 0) {
        qDebug() << "Stop?!";
        disconnectSocket();
        return;
    }
    qDebug().noquote() << "Total: " + QString::number(fileSize / recordBytes + 1) << "Sent: "
                       << recordCount << " Received: " << ackCount;
    qDebug().noquote() << "time: " + QString::number(stopwatch.elapsed() / 1000.0) + " sec";

    // The last acknowledgements may trail the records by up to three; they
    // are collected for a while (an extra "OK", say after a greeting, must
    // not make this wait run its full length).
    stage = 6;
    timer->stop();
    QTimer finishing;
    finishing.setSingleShot(true);
    connect(&finishing, &QTimer::timeout, &eventLoop, &QEventLoop::quit);
    finishing.start(replyTimeout);
    while (ackCount < recordCount && finishing.isActive() && socket->state() == QAbstractSocket::ConnectedState)
        eventLoop.exec(QEventLoop::AllEvents);
    finishing.stop();

    if (mode == 'I') {
        recordCount = 0;
        qDebug() << "----Record header----";
        const QByteArray header = recordHeader(quint32(fileSize), crc, bootImage);
        const QByteArray line = "iwr I1 " + header.mid(1).toHex().toUpper() + "\r\n";
        if (!writeBlock(line)) {
            result = 8;
        } else {
            timer->start(replyTimeout);
            wait(QEventLoop::ExcludeUserInputEvents);
        }
    }
    disconnectSocket();
}

void UploadTask::runChecker()
{
    if (!doConnect()) {
        result = 2;
        return;
    }
    // A device may greet on a new connection; the greeting must not be
    // taken for the check's answer. A device that does not greet is not at
    // fault, so the wait for it is short and its end is no failure.
    QTimer grace;
    grace.setSingleShot(true);
    connect(&grace, &QTimer::timeout, &eventLoop, &QEventLoop::quit);
    grace.start(greetingGrace);
    eventLoop.exec(QEventLoop::ExcludeUserInputEvents);
    grace.stop();
    if (result != 0) {
        disconnectSocket();
        return;
    }

    qDebug() << "----Checker running----";
    statusCarry.clear();
    checking = true;
    checkAnswer.clear();
    socket->write(checkCommand, sizeof checkCommand - 1);
    timer->start(replyTimeout);
    wait(QEventLoop::ExcludeUserInputEvents);
    checking = false;
    disconnectSocket();
}

void UploadTask::mainProcess()
{
    timer->stop();
    QByteArray data;
    while (socket->bytesAvailable() > 0)
        data.append(socket->readAll());
    response = data;
    if (checking) {
        checkAnswer.append(data);
        if (!hasStatusWord(checkAnswer)) {
            timer->start(replyTimeout);
            return;
        }
        response = checkAnswer;
    }

    // Replies are examined across the boundary of two reads: a status word
    // split over them (an "ERROR" above all) must not go unseen.
    const QByteArray text = statusCarry + response;
    const int old = statusCarry.size();
    statusCarry = text.right(longestStatusWord - 1);
    if (newOccurrences(text, old, "ERROR") > 0 || newOccurrences(text, old, "Unknown") > 0) {
        qDebug() << "Error!";
        result = 8;
        emit errorResponse();
        emit idleFinished();
        return;
    }
    if (const int acknowledged = newOccurrences(text, old, "OK")) {
        ackCount += acknowledged;
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
    Task::displayError(socketError);
    result = 8;
}

void UploadTask::handlingTimeout()
{
    result = 9;
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
