#include "networkaddress.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>

bool NetworkAddress::parse(const QString &text, int defaultPort, QString *ip, int *port)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2)
        return false;
    QHostAddress address;
    if (!address.setAddress(parts.at(0)) || address.protocol() != QAbstractSocket::IPv4Protocol
        || parts.at(0).count(QLatin1Char('.')) != 3 || !namesOneDevice(address))
        return false;
    *ip = address.toString();
    *port = defaultPort;
    if (parts.size() == 2) {
        bool ok = false;
        *port = parts.at(1).toInt(&ok);
        if (!ok || *port < 1 || *port > 65535)
            return false;
    }
    return true;
}

QString NetworkAddress::join(const QString &ip, int port)
{
    return ip + QLatin1Char(':') + QString::number(port);
}

bool NetworkAddress::namesOneDevice(const QHostAddress &address)
{
    return address != QHostAddress(QHostAddress::AnyIPv4) && address != QHostAddress(QHostAddress::Broadcast)
        && !address.isMulticast();
}

bool NetworkAddress::looksLikeAddress(const QString &text)
{
    return QRegularExpression(QStringLiteral("^[0-9.]*\\.[0-9.]*(:.*)?$")).match(text).hasMatch();
}

QString NetworkAddress::notAnAddressText(const QString &text)
{
    return QStringLiteral("Not an address: %1 (give IPv4 ADDRESS[:PORT], four numbers from 0 to 255 and a port from "
                          "1 to 65535; one device's address, not 0.0.0.0, a broadcast or a multicast address).")
        .arg(text);
}

QString NetworkAddress::notOneDeviceText(const QString &ip)
{
    return QStringLiteral("%1 is no device's address (0.0.0.0, broadcast and multicast addresses reach none or many); "
                          "type the device's own address.").arg(ip);
}
