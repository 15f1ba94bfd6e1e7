#ifndef SCRIPTEDPEER_H
#define SCRIPTEDPEER_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// A TCP peer on loopback whose answers a test writes: after every read it
// hands all bytes received on the connection so far to the script, which
// answers through say() (now or later). Lives on the test's thread: the
// tasks under test wait in event loops, which serve it.
class ScriptedPeer : public QObject
{
    Q_OBJECT
public:
    using Script = std::function<void(ScriptedPeer &peer, const QByteArray &received)>;

    explicit ScriptedPeer(Script script, QObject *parent = nullptr);

    quint16 port() const { return m_server.serverPort(); }
    // Sends `text` on the current connection, after `delay` ms if given.
    void say(const QByteArray &text, int delay = 0);
    // Closes the current connection, or resets it (RST).
    void hangUp();
    void reset();
    // Runs once when a connection is accepted.
    std::function<void(ScriptedPeer &peer)> onConnect;

private:
    QTcpServer m_server;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_received;
    Script m_script;
};

#endif // SCRIPTEDPEER_H
