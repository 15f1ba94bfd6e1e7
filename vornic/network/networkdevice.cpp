#include "networkdevice.h"

#include "networkaddress.h"

NetworkDevice::NetworkDevice(const QString &ip, int port, QObject *parent)
    : QObject(parent)
    , m_ip(ip)
    , m_port(port)
{
}

QString NetworkDevice::where() const
{
    return NetworkAddress::join(m_ip, m_port);
}
