#include "fleetchoice.h"

#include "cliconsole.h"
#include "devicecatalog.h"
#include "exitcode.h"
#include "interruptsignal.h"
#include "network/networkaddress.h"
#include "network/networkcheck.h"
#include "network/networkdevice.h"
#include "network/scannertask.h"
#include "update/deviceinventory.h"

#include <QFileInfo>
#include <QMap>

#include <algorithm>

FleetChoice::FleetChoice(DeviceInventory *inventory, int defaultPort, CliConsole *console)
    : m_inventory(inventory)
    , m_defaultPort(defaultPort)
    , m_console(console)
{
}

int FleetChoice::checkNames(const QStringList &devices, const QStringList &addresses)
{
    QString ip;
    int port = 0;
    for (const QString &name : devices) {
        if (NetworkAddress::looksLikeAddress(name) && !NetworkAddress::parse(name, m_defaultPort, &ip, &port))
            return m_console->fail(ExitUsage, NetworkAddress::notAnAddressText(name));
    }
    for (const QString &address : addresses) {
        if (!NetworkAddress::parse(address, m_defaultPort, &ip, &port))
            return m_console->fail(ExitUsage, NetworkAddress::notAnAddressText(address));
    }
    return ExitSuccess;
}

bool FleetChoice::checkAll(const std::vector<std::unique_ptr<NetworkDevice>> &records, const QStringList &names,
                           QVector<int> *results, int *code)
{
    QVector<NetworkDevice *> devices;
    for (const std::unique_ptr<NetworkDevice> &record : records)
        devices << record.get();
    *results = NetworkCheck::stoppableAll(devices);
    if (!InterruptSignal::requested())
        return true;
    m_inventory->release();
    *code = m_console->fail(InterruptSignal::exitCode(),
                            QStringLiteral("Stopped while checking %1.").arg(names.join(QLatin1String(", "))));
    return false;
}

int FleetChoice::choose(QStringList *devices, const QString &imagePath, bool all, const QStringList &addresses)
{
    const QString absolute = QFileInfo(imagePath).absoluteFilePath();
    // Who each network device says it is, by its address.
    QMap<QString, QString> networkSerials;
    // One look at the bus, for the choice of --all and for the names; none
    // when every device is named by its network address.
    const bool localNamed = all || std::any_of(devices->cbegin(), devices->cend(), [this](const QString &name) {
        QString ip;
        int port = 0;
        return !NetworkAddress::parse(name, m_defaultPort, &ip, &port);
    });
    if (localNamed)
        m_inventory->listLocal();
    if (all) {
        for (const LocalDevice &device : m_inventory->local()) {
            // The same test as a single update's, without --force. What is
            // left out is said (on stderr: the results may be JSON).
            if (device.accessible && DeviceCatalog::modelKnown(device.text) && DeviceCatalog::imageMatches(device.text, absolute, false))
                *devices << device.id;
            else
                qWarning("vornic-cli: %s (%s) is left out: %s.", qPrintable(device.id), qPrintable(device.text),
                         !device.accessible ? "no access" : "the image is not for its model");
        }
        // Every network device is asked at once.
        std::vector<std::unique_ptr<NetworkDevice>> records;
        for (const QString &address : addresses) {
            QString ip;
            int port = 0;
            NetworkAddress::parse(address, m_defaultPort, &ip, &port);
            records.emplace_back(new NetworkDevice(ip, port));
        }
        QVector<int> results;
        int stopped = ExitSuccess;
        if (!checkAll(records, addresses, &results, &stopped))
            return stopped;
        for (size_t i = 0; i < records.size(); ++i) {
            const NetworkDevice &record = *records[i];
            const int checked = results.at(int(i));
            const bool answers = checked == ScannerTask::Identified;
            // Its model is known only once it has answered.
            const QString text = DeviceCatalog::networkRowText(record.type(), record.serialNumber(), record.ip());
            const QString where = record.where();
            if (answers && DeviceCatalog::modelKnown(text) && DeviceCatalog::imageMatches(text, absolute, true)) {
                *devices << where;
                networkSerials.insert(where, record.serialNumber());
            } else if (answers) {
                qWarning("vornic-cli: %s (%s) is left out: the image is not for its model.", qPrintable(where),
                         qPrintable(text));
            } else {
                qWarning("vornic-cli: %s is left out: %s", qPrintable(where),
                         qPrintable(NetworkCheck::problemText(checked, where)));
            }
        }
        if (devices->isEmpty()) {
            m_inventory->release();
            return m_console->fail(ExitNoSuchDevice, QStringLiteral("No listed device takes the image %1.").arg(imagePath));
        }
    }
    devices->removeDuplicates();
    // One device named twice (by its port and its serial number, an address
    // with and without the default port, two addresses that reach the same
    // device) would get two updates at once: refused before anything is
    // sent. A network device is known only by what it says it is, its
    // serial number (a forwarder or a second interface gives it two
    // addresses).
    QMap<QString, QString> named;           // the device each name stands for, by the first name
    QStringList skipped;
    // (The network devices named are not asked here: each says who it is
    // from its own process, before any is written; FleetUpdate refuses one
    // device under two names then.)
    for (const QString &name : qAsConst(*devices)) {
        QString ip;
        int port = 0;
        QStringList keys { name };
        if (NetworkAddress::parse(name, m_defaultPort, &ip, &port)) {
            const QString where = NetworkAddress::join(ip, port);
            keys = QStringList { where };
            if (!networkSerials.value(where).isEmpty())
                keys << QStringLiteral("serial ") + networkSerials.value(where);
        } else {
            // A local device is the one at its port: two at two ports are two,
            // even with one serial number.
            const QVector<LocalDevice> found = m_inventory->matches(name);
            if (found.size() == 1)
                keys = QStringList { found.first().roadName() + QLatin1Char(' ') + found.first().id };
        }
        QString twice;
        for (const QString &key : qAsConst(keys)) {
            if (named.contains(key))
                twice = key;
        }
        // Found twice by --all (one network device at two addresses given
        // with --ip): written once.
        if (!twice.isEmpty() && all) {
            m_console->note(QStringLiteral("%1 is %2; it is written once.").arg(name, named.value(twice)));
            skipped << name;
            continue;
        }
        for (const QString &key : qAsConst(keys)) {
            if (named.contains(key)) {
                m_inventory->release();
                return m_console->fail(ExitUsage, QStringLiteral("%1 and %2 name the same device%3; name each device once.")
                                           .arg(named.value(key), name,
                                                key.startsWith(QLatin1String("serial "))
                                                    ? QStringLiteral(" (serial number %1)").arg(key.mid(7))
                                                    : QString()));
            }
        }
        for (const QString &key : qAsConst(keys))
            named.insert(key, name);
    }
    m_inventory->release();
    for (const QString &name : qAsConst(skipped))
        devices->removeAll(name);
    return ExitSuccess;
}
