#include "devicelisting.h"

#include "cliconsole.h"
#include "devicecatalog.h"
#include "exitcode.h"
#include "interruptsignal.h"
#include "safetext.h"
#include "network/networkaddress.h"
#include "network/networkcheck.h"
#include "network/networkdevice.h"
#include "network/scannertask.h"
#include "update/deviceinventory.h"

#include <QJsonArray>
#include <QJsonDocument>

DeviceListing::DeviceListing(DeviceInventory *inventory, int defaultPort, CliConsole *console, std::FILE *out)
    : m_inventory(inventory)
    , m_defaultPort(defaultPort)
    , m_console(console)
    , m_out(out)
{
}

int DeviceListing::run(bool json, const QStringList &addresses)
{
    InterruptSignal::install();
    QList<QSerialPortInfo> leftOut;
    m_inventory->listLocal(UsbDeviceList::Wanted(), &leftOut);
    // The window refuses such a port with a warning; it cannot be matched
    // with its bootloader either.
    for (const QSerialPortInfo &port : qAsConst(leftOut))
        qWarning("vornic-cli: %s has no serial number and is left out.", qPrintable(port.portName()));
    QJsonArray array;
    QStringList lines;
    for (const LocalDevice &device : m_inventory->local()) {
        QJsonObject object = listedObject(device.roadName(), device.id, device.text, device.serialNumber,
                                          device.accessible);
        if (device.road == LocalDevice::Usb) {
            const UsbDeviceEntry &entry = m_inventory->usb().at(device.usbIndex);
            object.insert(QStringLiteral("product"), entry.product);
            object.insert(QStringLiteral("version"), entry.version);
            object.insert(QStringLiteral("bootloader"), entry.bootloader);
        }
        array.append(object);
    }
    int status = ExitSuccess;
    for (const QString &address : addresses) {
        QString ip;
        int port = 0;
        if (!NetworkAddress::parse(address, m_defaultPort, &ip, &port))
            return m_console->fail(ExitUsage, NetworkAddress::notAnAddressText(address));
        NetworkDevice record(ip, port);
        const int check = NetworkCheck::stoppable(&record);
        const QString where = NetworkAddress::join(ip, port);
        if (InterruptSignal::requested())
            return m_console->fail(InterruptSignal::exitCode(), QStringLiteral("Stopped while checking %1.").arg(ip));
        if (check != 0 && check != 5) {
            // Said, and the listing goes on: exit 3 only when nothing at all
            // is listed.
            m_console->fail(ExitNoSuchDevice, NetworkCheck::problemText(check, where));
            status = ExitNoSuchDevice;
            continue;
        }
        QJsonObject object = listedObject(QStringLiteral("network"), where,
                                          DeviceCatalog::networkRowText(record.type(), record.serialNumber(), ip),
                                          record.serialNumber(), true);
        object.insert(QStringLiteral("networkUpdate"), check == ScannerTask::Identified);
        array.append(object);
    }

    if (json) {
        std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), m_out);
    } else {
        for (const QJsonValue &value : qAsConst(array)) {
            const QJsonObject device = value.toObject();
            std::fprintf(m_out, "%-8s %-21s %s\n", qPrintable(device.value(QLatin1String("road")).toString()),
                         qPrintable(SafeText::forTerminal(device.value(QLatin1String("device")).toString())),
                         qPrintable(SafeText::forTerminal(device.value(QLatin1String("text")).toString())));
        }
        if (array.isEmpty())
            m_console->fail(ExitSuccess, QStringLiteral("No Ordane device found."));
    }
    std::fflush(m_out);
    return array.isEmpty() ? status : int(ExitSuccess);
}

QJsonObject DeviceListing::listedObject(const QString &road, const QString &id, const QString &text,
                                    const QString &serialNumber, bool accessible)
{
    return QJsonObject {
        { QStringLiteral("road"), road },
        { QStringLiteral("device"), id },
        { QStringLiteral("text"), text },
        { QStringLiteral("model"), DeviceCatalog::modelOf(text) },
        { QStringLiteral("serialNumber"), serialNumber },
        { QStringLiteral("access"), accessible },
    };
}
