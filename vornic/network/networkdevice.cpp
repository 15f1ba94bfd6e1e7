#include "networkdevice.h"

NetworkDevice::NetworkDevice(const QString &ip, int port, QObject *parent)
    : QObject(parent)
    , m_ip(ip)
    , m_port(port)
{
}
