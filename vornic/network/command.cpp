#include "command.h"

#include "sendcommandtask.h"
#include "uploadtask.h"

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
    connect(task, SIGNAL(recieved(QByteArray)), this, SLOT(execFinished(QByteArray)));
    task->run();
}

void Command::execFinished(QByteArray answer)
{
    reply = answer;
}

bool Command::rebootAccepted() const
{
    return task && (confirmed(reply) || task->closedByDevice());
}

void Command::closeImage()
{
    exec(UploadTask::startCommandText());
}

QString Command::rebootNotConfirmedText()
{
    return QStringLiteral("The device did not confirm the reboot. It holds the new firmware; restart it to run it.");
}
