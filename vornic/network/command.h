#ifndef COMMAND_H
#define COMMAND_H

#include <QByteArray>
#include <QObject>
#include <QString>

class NetworkDevice;
class SendCommandTask;

// The maintenance commands of a network device, each run as one
// SendCommandTask on the calling (GUI) thread; exec() returns when the
// answer is in (or the device could not be reached).
class Command : public QObject
{
    Q_OBJECT
public:
    Command(QObject *owner, NetworkDevice *device, QObject *parent = nullptr);

    void exec(const QString &command);
    void reboot() { exec(QStringLiteral("boot\r\n")); }
    void requestSettings() { exec(QStringLiteral("set\r\n")); }
    void requestIfconfig() { exec(QStringLiteral("ifconfig\r\n")); }
    void requestLines() { exec(QStringLiteral("lines\r\n")); }
    void rebootSecondary() { exec(QStringLiteral("boot 2\r\n")); }
    // After a checked upload, when no reboot follows: the device closes the
    // image and goes on with its firmware.
    void closeImage();

    // The last answer received; unchanged when the device was unreachable.
    QByteArray lastReply() const { return reply; }
    // True when `answer` confirms a command: "OK", and no "ERROR" or
    // "Unknown" (as status words).
    static bool confirmed(const QByteArray &answer);

    // The last command was a reboot the device took: it reached the device,
    // and the device did not refuse it. A device that restarts may confirm
    // it, say nothing, close or reset the connection, or go silent until
    // the reply time is over.
    bool rebootAccepted() const;
    // What is said of a reboot the device did not take.
    static QString rebootRefusedText();

private slots:
    void execFinished(QByteArray answer);

private:
    NetworkDevice *device;
    QObject *owner;
    SendCommandTask *task = nullptr;
    QByteArray reply;
};

#endif // COMMAND_H
