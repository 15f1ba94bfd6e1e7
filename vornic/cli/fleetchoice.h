#ifndef FLEETCHOICE_H
#define FLEETCHOICE_H

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <vector>

class CliConsole;
class DeviceInventory;
class NetworkDevice;

// Which devices a several-devices update writes: with --all, every listed
// device whose model takes the image (network devices at the addresses
// given), each one left out said on the error stream; and, named or found,
// each device once. Two names of one device (its port and its serial
// number, an address with and without the default port, two addresses that
// reach one device) would give it two updates at once, and are refused
// before anything is sent.
class FleetChoice
{
public:
    FleetChoice(DeviceInventory *inventory, int defaultPort, CliConsole *console);

    // Every name and address, before anything is read or started: a
    // mistake in one stops them all, rather than leaving the others written.
    // ExitSuccess, or ExitUsage with the reason said.
    int checkNames(const QStringList &devices, const QStringList &addresses);
    // Completes and checks `devices`; ExitSuccess, or the exit code of what
    // was said.
    int choose(QStringList *devices, const QString &imagePath, bool all, const QStringList &addresses);

private:
    // Asks every network device at once who it is (`names` as the user gave
    // them); false, with the exit code said, when stopped meanwhile.
    bool checkAll(const std::vector<std::unique_ptr<NetworkDevice>> &records, const QStringList &names,
                  QVector<int> *results, int *code);

    DeviceInventory *m_inventory;
    int m_defaultPort;
    CliConsole *m_console;
};

#endif // FLEETCHOICE_H
