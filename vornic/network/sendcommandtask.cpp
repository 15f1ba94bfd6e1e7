#include "sendcommandtask.h"

#include "networkdevice.h"
#include "statuswordcounter.h"

#include <QTcpSocket>
#include <QTimer>

SendCommandTask::SendCommandTask(QObject *owner, NetworkDevice *device, const QString &command, QObject *parent)
    : Task(parent)
    , command(command)
{
    this->owner = owner;
    host = device->ip();
    port = device->port();
}

void SendCommandTask::run()
{
    if (!doConnect())
        return;
    // The device's greeting first: a greeting that holds "OK" must never
    // confirm a command the device then refuses (a reboot above all).
    awaitGreeting(QEventLoop::AllEvents);
    reply.clear();
    timer->start(replyTimeout);
    const QByteArray bytes = command.toLocal8Bit();
    // A connection that was already gone took no command.
    sent = socket->state() == QAbstractSocket::ConnectedState && socket->write(bytes) == bytes.size();
    wait();
    closed = sent && socket->state() != QAbstractSocket::ConnectedState && !StatusWordCounter::hasOkWord(reply)
        && !StatusWordCounter::hasRefusal(reply);
    disconnectSocket();
    emit recieved(reply);
}

void SendCommandTask::stop()
{
}
