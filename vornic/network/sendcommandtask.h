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
    // The device closed the connection after the command, without a status
    // word (as a device that restarts at once does).
    bool closedByDevice() const { return closed; }
    // The command went out on a live connection.
    bool commandSent() const { return sent; }

public slots:
    void stop() override;

private:
    QString command;
    bool closed = false;
    bool sent = false;
};

#endif // SENDCOMMANDTASK_H
