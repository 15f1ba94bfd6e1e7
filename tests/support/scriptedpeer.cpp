#include "scriptedpeer.h"

#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

ScriptedPeer::ScriptedPeer(Script script, QObject *parent)
    : QObject(parent)
    , m_script(std::move(script))
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        m_socket = m_server.nextPendingConnection();
        m_received.clear();
        connect(m_socket, &QTcpSocket::readyRead, this, [this] {
            m_received.append(m_socket->readAll());
            m_script(*this, m_received);
        });
        if (onConnect)
            onConnect(*this);
    });
}

void ScriptedPeer::say(const QByteArray &text, int delay)
{
    QPointer<QTcpSocket> socket = m_socket;
    auto send = [socket, text] {
        if (socket)
            socket->write(text);
    };
    if (delay > 0)
        QTimer::singleShot(delay, this, send);
    else
        send();
}

void ScriptedPeer::hangUp()
{
    if (m_socket)
        m_socket->disconnectFromHost();
}

void ScriptedPeer::reset()
{
    if (!m_socket)
        return;
    // No lingering: the kernel answers the peer with RST.
    const linger abrupt { 1, 0 };
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    m_socket->abort();
}
