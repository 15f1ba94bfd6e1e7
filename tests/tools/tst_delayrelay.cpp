// The relay that gives the network benchmark a round trip: every byte
// arrives whole, in order and not before its delay, in both directions; a
// close comes after the bytes sent before it, and a reset passes through.
#include "delayrelay.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

class DelayRelayTest : public QObject
{
    Q_OBJECT
private slots:
    void holdsEveryByteAndKeepsTheOrder();
    void resetPassesThrough();
    void holdsBackASenderWhenTheOtherSideDoesNotRead();

private:
    // Reads from `socket` until `size` bytes have come, for at most 5 s.
    static QByteArray readUntil(QTcpSocket &socket, int size);
};

QByteArray DelayRelayTest::readUntil(QTcpSocket &socket, int size)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < size && clock.elapsed() < 5000) {
        if (socket.bytesAvailable() || socket.waitForReadyRead(100))
            bytes += socket.readAll();
    }
    return bytes;
}

void DelayRelayTest::holdsEveryByteAndKeepsTheOrder()
{
    const int delayMs = 20;
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost, 0));
    DelayRelay relay(target.serverPort(), std::chrono::milliseconds(delayMs));
    QVERIFY(relay.isListening());
    QTcpSocket near;
    near.connectToHost(QHostAddress::LocalHost, relay.port());
    QVERIFY(near.waitForConnected(1000));
    QVERIFY(target.waitForNewConnection(1000));
    QTcpSocket *far = target.nextPendingConnection();

    // The delay, on a few bytes alone (not the time it takes to write
    // megabytes); then many writes of many sizes, more than a socket
    // buffer holds.
    QElapsedTimer clock;
    clock.start();
    near.write("first");
    near.flush();
    QCOMPARE(readUntil(*far, 5), QByteArray("first"));
    QVERIFY2(clock.elapsed() >= delayMs, qPrintable(QString::number(clock.elapsed())));
    QByteArray sent;
    for (int i = 0; sent.size() < 3 * 1024 * 1024; ++i)
        sent += QByteArray(1 + (i * 7919) % 3000, char('a' + i % 26));
    for (int at = 0; at < sent.size(); at += 4096)
        near.write(sent.mid(at, 4096));
    near.flush();
    QCOMPARE(readUntil(*far, sent.size()), sent);

    // The other way, and a close behind the bytes before it.
    clock.restart();
    far->write("OK\r\n");
    far->flush();
    far->disconnectFromHost();
    QCOMPARE(readUntil(near, 4), QByteArray("OK\r\n"));
    QVERIFY2(clock.elapsed() >= delayMs, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(near.state() == QAbstractSocket::UnconnectedState || near.waitForDisconnected(2000));
    QCOMPARE(near.error(), QAbstractSocket::RemoteHostClosedError);
}

void DelayRelayTest::resetPassesThrough()
{
    QTcpServer target;
    QVERIFY(target.listen(QHostAddress::LocalHost, 0));
    DelayRelay relay(target.serverPort(), std::chrono::milliseconds(2));
    // A plain socket: only the kernel's answer tells a reset from a close.
    const int near = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(relay.port());
    QCOMPARE(::connect(near, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const timeval patience { 2, 0 };
    QCOMPARE(::setsockopt(near, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
    QVERIFY(target.waitForNewConnection(1000));
    QTcpSocket *far = target.nextPendingConnection();
    const linger abrupt { 1, 0 };
    QCOMPARE(::setsockopt(int(far->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt), 0);
    far->abort();
    char byte = 0;
    const ssize_t got = ::recv(near, &byte, 1, 0);
    const int error = errno;
    ::close(near);
    QCOMPARE(got, ssize_t(-1));
    QCOMPARE(error, ECONNRESET);
}

void DelayRelayTest::holdsBackASenderWhenTheOtherSideDoesNotRead()
{
    // A target that never even accepts: the kernel takes the connection and
    // fills its buffer, and nothing reads it.
    const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QCOMPARE(::bind(target, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(target, 4), 0);
    QCOMPARE(::getsockname(target, reinterpret_cast<sockaddr *>(&address), &length), 0);
    DelayRelay relay(ntohs(address.sin_port), std::chrono::milliseconds(1));
    const int near = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    address.sin_port = htons(relay.port());
    ::connect(near, reinterpret_cast<sockaddr *>(&address), sizeof address);
    // What the sender gets rid of is bounded by the relay's hold plus the
    // sockets' buffers, not by what it offers.
    const QByteArray chunk(64 * 1024, 'x');
    qint64 accepted = 0;
    QElapsedTimer stalled;
    stalled.start();
    while (accepted < 256LL * 1024 * 1024 && stalled.elapsed() < 500) {
        const ssize_t n = ::send(near, chunk.constData(), std::size_t(chunk.size()), MSG_NOSIGNAL);
        if (n > 0) {
            accepted += n;
            stalled.restart();
        } else {
            QTest::qWait(5);
        }
    }
    ::close(near);
    ::close(target);
    QVERIFY2(accepted < 64LL * 1024 * 1024, qPrintable(QString::number(accepted)));
}

QTEST_GUILESS_MAIN(DelayRelayTest)
#include "tst_delayrelay.moc"
