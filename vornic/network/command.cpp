#include "command.h"

#include "safetext.h"
#include "sendcommandtask.h"
#include "statuswordcounter.h"
#include "uploadtask.h"

#include <QDebug>

Command::Command(QObject *owner, NetworkDevice *device, QObject *parent)
    : QObject(parent)
    , device(device)
    , owner(owner)
{
}

void Command::exec(const QString &command)
{
    // The previous command's task has done its work.
    delete task;
    task = new SendCommandTask(owner, device, command, this);
    connect(task, &Task::recieved, this, &Command::execFinished);
    task->run();
}

void Command::execFinished(QByteArray answer)
{
    reply = answer;
}

bool Command::confirmed(const QByteArray &answer)
{
    return StatusWordCounter::hasOkWord(answer) && !StatusWordCounter::hasRefusal(answer);
}

bool Command::rebootAccepted() const
{
    if (!task || !task->commandSent()) {
        qDebug() << "Reboot: the device could not be reached; it was not told to restart";
        return false;
    }
    if (StatusWordCounter::hasRefusal(reply)) {
        qDebug().noquote() << "Reboot refused:" << SafeText::forTerminal(QString::fromLatin1(reply.left(200)));
        return false;
    }
    if (confirmed(reply))
        qDebug() << "Reboot: confirmed by the device";
    else if (task->closedByDevice())
        qDebug() << "Reboot: the device closed the connection, restarting";
    else if (reply.isEmpty())
        qDebug() << "Reboot: no answer; the device is taken to be restarting";
    else
        qDebug().noquote() << "Reboot: answered without a status word, taken to be restarting:"
                           << SafeText::forTerminal(QString::fromLatin1(reply.left(200)));
    return true;
}

void Command::closeImage()
{
    exec(UploadTask::startCommandText());
}

QString Command::rebootRefusedText()
{
    return QStringLiteral("The device refused the reboot, or could not be reached to be told. It holds the new firmware; restart it to run it.");
}
