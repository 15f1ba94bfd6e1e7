#ifndef NETWORKDEVICE_H
#define NETWORKDEVICE_H

#include <QObject>
#include <QString>

// Record of one device reached over the network: where it is (IPv4 address
// and TCP port, typed by the user) and what it is (serial number and device
// type, learned from the device). No setter validates its argument.
class NetworkDevice : public QObject
{
    Q_OBJECT
public:
    NetworkDevice(const QString &ip, int port, QObject *parent = nullptr);

    QString ip() const { return m_ip; }
    int port() const { return m_port; }
    // "ADDRESS:PORT".
    QString where() const;

    void setSerialNumber(const QString &serialNumber) { m_serialNumber = serialNumber; }
    QString serialNumber() const { return m_serialNumber; }

    void setType(int type) { m_type = type; }
    int type() const { return m_type; }

private:
    QString m_ip;
    QString m_serialNumber;
    int m_port;
    int m_type = 0;
};

#endif // NETWORKDEVICE_H
