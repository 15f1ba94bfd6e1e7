#include "scannertask.h"

#include "networkdevice.h"

#include <QDebug>
#include <QRegExp>
#include <QTcpSocket>
#include <QTimer>

namespace {

const int primoraFirmwareMinimum = 32;  // 3.2, for serial numbers "05..."
const int firmwareMinimum = 13;         // 1.3
const int bootloaderMinimum = 11;       // 1.1

} // namespace

ScannerTask::ScannerTask(QObject *owner, NetworkDevice *device)
{
    this->owner = owner;
    host = device->ip();
    port = device->port();
    identityKeys << QStringLiteral("S/N") << QStringLiteral("version");
}

void ScannerTask::run()
{
    // A device on a directly attached subnet is first checked by its MAC
    // address; that check, when present, comes before the identification
    // and reports 1 without any TCP traffic.
    const int code = identify();
    QMetaObject::invokeMethod(owner, "addNetworkDeviceToList", Qt::QueuedConnection,
                              Q_ARG(QString, serialNumber), Q_ARG(int, code));
}

int ScannerTask::identify()
{
    int code = queryIdentity();
    if (code == 0) {
        const bool primoraSerial = serialNumber.contains(QRegExp(QStringLiteral("^05")));
        if (!versionAtLeast(primoraSerial ? primoraFirmwareMinimum : firmwareMinimum, firmwareVersion)) {
            code = primoraSerial ? 3 : 4;
        } else if (!checkBootloaderVersion()) {
            qDebug() << "Error: BootLoader older than older than. Your version of the program does not support "
                        "network update.";
            code = 5;
        }
    }
    disconnectSocket();
    return code;
}

int ScannerTask::queryIdentity()
{
    if (!doConnect())
        return 2;
    socket->readAll();
    timer->start(replyTimeout);
    reply.clear();
    socket->write("set\r\n", 5);
    socket->flush();
    wait();
    return parseIdentity();
}

QString ScannerTask::replyUpToNul() const
{
    const int nul = reply.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? reply : reply.left(nul));
}

int ScannerTask::parseIdentity()
{
    const QString text = replyUpToNul();
    bool found = false;
    for (const QString &key : qAsConst(identityKeys)) {
        const int at = text.indexOf(key, 0, Qt::CaseSensitive);
        if (at < 0)
            continue;
        found = true;
        const int colon = text.indexOf(QLatin1Char(':'), at);
        QString value;
        if (colon >= 0) {
            const int end = text.indexOf(QLatin1String("\r\n"), colon);
            value = text.mid(colon + 1, end < 0 ? -1 : end - colon - 1).trimmed();
        }
        if (key == identityKeys.at(0))
            serialNumber = value;
        else
            firmwareVersion = value;
    }
    return found ? 0 : 6;
}

bool ScannerTask::versionAtLeast(int threshold, const QString &version)
{
    QString digits = version;
    digits.remove(QLatin1Char('.'));
    int length = 0;
    while (length < digits.size() && digits.at(length).isDigit() && digits.at(length).unicode() < 128)
        ++length;
    return digits.left(length).toLongLong() >= threshold;
}

bool ScannerTask::checkBootloaderVersion()
{
    reply.clear();
    timer->start(replyTimeout);
    sendCommand(QStringLiteral("boot v\r\n"));
    const QRegExp pattern(QStringLiteral("(\\d+\\.){0,1}(\\d+\\.)(\\*|\\d+)"), Qt::CaseSensitive, QRegExp::RegExp);
    const QString text = replyUpToNul();
    const QString version = pattern.indexIn(text) >= 0 ? pattern.cap(0) : QString();
    return versionAtLeast(bootloaderMinimum, version);
}

void ScannerTask::stop()
{
}
