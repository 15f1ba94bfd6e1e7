#ifndef SENDCOMMANDTASK_H
#define SENDCOMMANDTASK_H

#include "task.h"

class NetworkDevice;

// One command over one connection: connect, send, wait for the answer (a
// status word, a disconnect or the reply time), then hand over the whole
// answer with recieved(). Nothing is sent and nothing is emitted when the
// device cannot be reached.
class SendCommandTask : public Task
{
    Q_OBJECT
public:
    SendCommandTask(QObject *owner, NetworkDevice *device, const QString &command, QObject *parent = nullptr);

    void run() override;

public slots:
    void stop() override;

private:
    QString command;
};

#endif // SENDCOMMANDTASK_H
