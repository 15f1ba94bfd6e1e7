#include "task.h"

#include "statuswordcounter.h"

#include <QDebug>
#include <QHostAddress>
#include <QMutex>
#include <QTcpSocket>
#include <QTimer>

Task::Task(QObject *parent)
    : QObject(parent)
{
    // run() is called directly, never by a thread pool that would delete.
    setAutoDelete(false);
}

void Task::setupSocket()
{
    socket = new QTcpSocket(this);
    timer = new QTimer(this);
    // The slots are virtual: a subclass's override is the one that runs.
    connect(timer, &QTimer::timeout, this, &Task::handlingTimeout);
    connect(this, &Task::idleFinished, &eventLoop, &QEventLoop::quit, Qt::DirectConnection);
    connect(socket, &QTcpSocket::connected, this, &Task::connected);
    connect(socket, &QTcpSocket::disconnected, this, &Task::disconnected);
    connect(socket, &QTcpSocket::bytesWritten, this, &Task::bytesWritten);
    connect(socket, &QTcpSocket::errorOccurred, this, &Task::displayError);
    connect(socket, &QTcpSocket::readyRead, this, &Task::mainProcess);
    wired = true;
}

bool Task::doConnect()
{
    setupSocket();
    qDebug() << "connecting...";
    {
        // A process's first connect registers a type inside Qt without a
        // guard: two first connects at once, from two of the threads that
        // check several devices together, have Qt warn on stderr, in the
        // middle of the user's output. The connect itself does not block.
        static QMutex firstConnects;
        QMutexLocker lock(&firstConnects);
        socket->connectToHost(QHostAddress(host), quint16(port), QIODevice::ReadWrite);
    }
    // The connected() signal comes inside this wait, outside any run of the
    // event loop: its idleFinished() ends nothing.
    const bool connectedNow = socket->waitForConnected(replyTimeout);
    if (!connectedNow) {
        qDebug().noquote() << "Error: " + socket->errorString();
        return false;
    }
    // Only a socket that exists takes options (set before the connection,
    // this one is silently dropped). Without it every record after the
    // first waits for the device's TCP acknowledgement of the one before,
    // and the records in flight shrink to one.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

QString Task::socketErrorText(QAbstractSocket::SocketError socketError, const QString &errorString)
{
    switch (socketError) {
    case QAbstractSocket::RemoteHostClosedError:
        return QString();
    case QAbstractSocket::HostNotFoundError:
        return tr("The host was not found. Please check the host name and port settings.");
    case QAbstractSocket::ConnectionRefusedError:
        return tr("The connection was refused by the peer. Check that the host name and port settings are correct.");
    default:
        return tr("The following error occurred: %1.").arg(errorString);
    }
}

void Task::displayError(QAbstractSocket::SocketError socketError)
{
    const QString text = socketErrorText(socketError, socket ? socket->errorString() : QString());
    if (!text.isEmpty())
        qDebug().noquote() << text;
}

bool Task::writeData(QByteArray data, int imageSize)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    while (socket->bytesToWrite() < qint64(imageSize))
        socket->write(data);
    return true;
}

void Task::connected()
{
    emit idleFinished();
    qDebug() << "connected...";
}

void Task::disconnected()
{
    emit idleFinished();
    qDebug() << "disconnected...";
}

void Task::bytesWritten(qint64 bytes)
{
    qDebug().noquote() << QString::number(bytes) + " bytes written...";
}

void Task::mainProcess()
{
    const QByteArray piece = socket->readAll();
    qDebug().noquote() << "Read: " + QString::fromLatin1(piece.left(maxLoggedPiece));
    // No answer of this protocol is longer than a few lines (a device's
    // settings a few KiB): a device that floods gets no answer taken from
    // it, and no growing buffer.
    if (reply.size() + piece.size() > answerLimit) {
        qDebug() << "Answer too long: given up";
        timer->stop();
        reply.clear();
        overflowed = true;
        emit errorResponse();
        emit idleFinished();
        return;
    }
    reply.append(piece);

    if (StatusWordCounter::findWord(reply, "ERROR") >= 0) {
        qDebug() << "Error!";
        timer->stop();
        emit errorResponse();
        emit idleFinished();
    } else if (StatusWordCounter::findWord(reply, "Unknown") >= 0) {
        qDebug() << "Unknown command";
        timer->stop();
        emit errorResponse();
        emit idleFinished();
    } else if (StatusWordCounter::hasOkWord(reply)) {
        timer->stop();
        emit idleFinished();
    }
    // Otherwise the answer has begun but holds no status word yet. The
    // deadline set when the request went out runs on: pieces that trickle
    // in do not extend it, so a device that stalls or dribbles cannot hold
    // the wait for ever.
}

void Task::handlingTimeout()
{
    eventLoop.quit();
}

void Task::disconnectSocket()
{
    if (!socket)
        return;
    qDebug() << "Disconnecting proc...";
    socket->disconnectFromHost();
    disconnect(timer, &QTimer::timeout, this, &Task::handlingTimeout);
    disconnect(this, &Task::idleFinished, &eventLoop, &QEventLoop::quit);
    disconnect(socket, &QTcpSocket::connected, this, &Task::connected);
    disconnect(socket, &QTcpSocket::disconnected, this, &Task::disconnected);
    disconnect(socket, &QTcpSocket::bytesWritten, this, &Task::bytesWritten);
    disconnect(socket, &QTcpSocket::errorOccurred, this, &Task::displayError);
    disconnect(socket, &QTcpSocket::readyRead, this, &Task::mainProcess);
    wired = false;
    socket->close();
}

void Task::sendCommand(QString command)
{
    const QByteArray bytes = command.toLocal8Bit();
    if (!writeData(bytes, command.size()))
        qDebug().noquote() << "Error: " + (socket ? socket->errorString() : QStringLiteral("not connected"));
    wait();
}

void Task::wait(QEventLoop::ProcessEventsFlags flags)
{
    // Never connected, or unhooked: nothing could end the wait.
    if (!wired)
        return;
    // Every wait ends within the reply time at the latest, also where a
    // caller did not start the timer.
    if (!timer->isActive())
        timer->start(replyTimeout);
    runLoop(flags);
}

bool Task::runLoop(QEventLoop::ProcessEventsFlags flags)
{
    if (m_quitting)
        return false;
    if (eventLoop.exec(flags) < 0)
        m_quitting = true;
    return !m_quitting;
}

Task::Greeting Task::awaitGreeting(QEventLoop::ProcessEventsFlags flags)
{
    if (!wired)
        return Greeting::Lost;
    timer->stop();
    // The greeting goes nowhere near the answers: it is read here, and
    // mainProcess() sees only what comes after.
    disconnect(socket, &QTcpSocket::readyRead, this, &Task::mainProcess);
    QTimer deadline;
    QTimer quiet;
    deadline.setSingleShot(true);
    quiet.setSingleShot(true);
    bool heard = false;
    bool fellQuiet = false;
    bool late = false;
    qint64 length = 0;
    const auto take = [&] {
        const QByteArray piece = socket->readAll();
        if (piece.isEmpty())
            return;
        if (length < maxLoggedPiece)
            qDebug().noquote() << "Greeting: " + QString::fromLatin1(piece.left(maxLoggedPiece));
        length += piece.size();
        // A greeting has as long to end as the device had to begin it.
        if (!heard)
            deadline.start(replyTimeout);
        heard = true;
        quiet.start(greetingQuiet);
    };
    const QMetaObject::Connection reading = connect(socket, &QTcpSocket::readyRead, this, take);
    connect(&quiet, &QTimer::timeout, this, [&] {
        fellQuiet = true;
        eventLoop.quit();
    });
    connect(&deadline, &QTimer::timeout, this, [&] {
        late = true;
        eventLoop.quit();
    });
    deadline.start(replyTimeout);
    take();
    Greeting outcome = Greeting::Interrupted;
    for (;;) {
        if (!runLoop(flags)) {
            outcome = Greeting::Interrupted;
            break;
        }
        if (fellQuiet) {
            outcome = Greeting::Heard;
            break;
        }
        if (socket->state() != QAbstractSocket::ConnectedState) {
            outcome = Greeting::Lost;
            break;
        }
        if (late) {
            outcome = heard ? Greeting::Endless : Greeting::Silent;
            break;
        }
        if (halted())
            break;
    }
    disconnect(reading);
    quiet.stop();
    deadline.stop();
    connect(socket, &QTcpSocket::readyRead, this, &Task::mainProcess);
    if (outcome == Greeting::Silent)
        qDebug() << "No greeting";
    return outcome;
}
