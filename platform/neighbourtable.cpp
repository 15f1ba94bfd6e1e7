#include "neighbourtable.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char arpTablePath[] = "/proc/net/arp";
const unsigned completeFlag = 0x2;     // ATF_COM
const int pollPause = 20;              // ms between looks at the table
const quint16 discardPort = 9;

QByteArray readArpTable()
{
    QFile file(QString::fromLatin1(arpTablePath));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// One datagram makes the kernel resolve the address; nothing listens on
// the discard port, and nothing is expected back.
void promptResolution(const QHostAddress &address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in target {};
    target.sin_family = AF_INET;
    target.sin_port = htons(discardPort);
    target.sin_addr.s_addr = htonl(address.toIPv4Address());
    ::sendto(fd, "", 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&target), sizeof target);
    ::close(fd);
}

// "0a:7c:d2:00:00:01", as the kernel lists an address: six pairs of hex
// digits. Hex decoding alone skips whatever is not a digit, and would turn
// other texts into six bytes as well.
bool isKernelMacText(const QByteArray &text)
{
    if (text.size() != 17)
        return false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (i % 3 == 2 ? c != ':' : !hex)
            return false;
    }
    return true;
}

} // namespace

QByteArray hardwareAddressInArpTable(const QByteArray &table, const QString &ipv4)
{
    // Compared byte for byte: a conversion to text would end the field at
    // a NUL and let what follows it pass.
    const QByteArray address = ipv4.toLatin1();
    const QList<QByteArray> lines = table.split('\n');
    // The first line holds the column titles.
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 4 || fields.at(0) != address)
            continue;
        bool ok = false;
        const unsigned flags = fields.at(2).toUInt(&ok, 16);
        if (!ok || !(flags & completeFlag))
            continue;
        if (!isKernelMacText(fields.at(3)))
            continue;
        const QByteArray mac = QByteArray::fromHex(fields.at(3));
        if (mac != QByteArray(6, '\0'))
            return mac;
    }
    return QByteArray();
}

QByteArray neighbourHardwareAddress(const QString &ipv4, int timeoutMs)
{
    const QHostAddress address(ipv4);
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return QByteArray();
    QByteArray mac = hardwareAddressInArpTable(readArpTable(), address.toString());
    if (!mac.isEmpty())
        return mac;
    promptResolution(address);
    QElapsedTimer waited;
    waited.start();
    while (mac.isEmpty() && waited.elapsed() < timeoutMs) {
        QThread::msleep(pollPause);
        mac = hardwareAddressInArpTable(readArpTable(), address.toString());
    }
    return mac;
}
