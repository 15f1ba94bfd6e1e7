#ifndef DEVICELISTING_H
#define DEVICELISTING_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>

class CliConsole;
class DeviceInventory;

// vornic-cli list: one line (or JSON object) per device Vornic would list,
// the USB and serial-port devices found by themselves and the network
// devices checked at the addresses given.
class DeviceListing
{
public:
    DeviceListing(DeviceInventory *inventory, int defaultPort, CliConsole *console, std::FILE *out);

    // The exit code: 0 when anything is listed (an address that did not
    // answer is said on the error stream), else 3 or 2 (a wrong address).
    int run(bool json, const QStringList &addresses);

private:
    static QJsonObject listedObject(const QString &road, const QString &id, const QString &text,
                                    const QString &serialNumber, bool accessible);

    DeviceInventory *m_inventory;
    int m_defaultPort;
    CliConsole *m_console;
    std::FILE *m_out;
};

#endif // DEVICELISTING_H
