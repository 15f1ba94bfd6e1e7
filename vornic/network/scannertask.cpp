#include "scannertask.h"

#include "neighbourtable.h"
#include "networkdevice.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

namespace {

const char primoraFirmwareMinimum[] = "3.2";  // for serial numbers "05..."
const char firmwareMinimum[] = "1.3";
const char bootloaderMinimum[] = "1.1";
const char makerMacPrefix[] = "0A:7C:D2";

// The numbers of a version text: its leading numbers joined by dots, with
// whatever follows them ignored ("3.2-beta" is 3.2, "2.*" is 2); none when
// it does not begin with a number.
QVector<int> versionNumbers(const QString &text)
{
    QVector<int> numbers;
    int at = 0;
    for (;;) {
        int end = at;
        while (end < text.size() && text.at(end) >= QLatin1Char('0') && text.at(end) <= QLatin1Char('9'))
            ++end;
        // Few enough digits to hold in an int; a longer run is no number.
        if (end == at || end - at > 9)
            return numbers;
        numbers << text.mid(at, end - at).toInt();
        if (end + 1 >= text.size() || text.at(end) != QLatin1Char('.'))
            return numbers;
        at = end + 1;
    }
}

// The answer up to its first NUL byte, as Latin-1 text.
QString upToNul(const QByteArray &reply)
{
    const int nul = reply.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? reply : reply.left(nul));
}

const QString identitySerialKey = QStringLiteral("S/N");
const QString identityVersionKey = QStringLiteral("version");

} // namespace

ScannerTask::ScannerTask(QObject *owner, NetworkDevice *device, QObject *parent)
    : Task(parent)
{
    this->owner = owner;
    host = device->ip();
    port = device->port();
}

void ScannerTask::run()
{
    // A device on a directly attached subnet is first checked by its MAC
    // address: another maker's device gets no TCP traffic at all. Where the
    // address cannot be learned the device is checked like a remote one.
    const bool otherMaker = onLocalSubnet() && checkMacAddress() == 1;
    const int code = otherMaker ? NotTheMakers : identify();
    QMetaObject::invokeMethod(owner, "addNetworkDeviceToList", Qt::QueuedConnection,
                              Q_ARG(QString, serialNumber), Q_ARG(int, code));
}

bool ScannerTask::onLocalSubnet() const
{
    const QHostAddress device(host);
    bool local = false;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            const QHostAddress address = entry.ip();
            const QString text = address.toString();
            if (address.protocol() != QAbstractSocket::IPv4Protocol || address == QHostAddress(QHostAddress::LocalHost)
                || text.section(QLatin1Char('.'), -1) == QLatin1String("1")
                || text.section(QLatin1Char('.'), 0, 0) == QLatin1String("169") || text.isEmpty())
                continue;
            const auto subnet = QHostAddress::parseSubnet(text + QLatin1Char('/') + entry.netmask().toString());
            if (device.isInSubnet(subnet))
                local = true;
        }
    }
    return local;
}

int ScannerTask::checkMacAddress()
{
    const QByteArray ipv4 = host.toLocal8Bit();
    unsigned char mac[6];
    if (!resolveMacAddress(mac, ipv4.constData()))
        return 2;
    const QString text = QString::asprintf("%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3], mac[4],
                                           mac[5]);
    // The maker's prefix is the first three bytes; the same bytes further on
    // belong to another maker's address.
    if (!text.startsWith(QLatin1String(makerMacPrefix)))
        return 1;
    serialNumberFromMac(text);
    return 0;
}

bool ScannerTask::resolveMacAddress(unsigned char mac[6], const char *ipv4Text)
{
    const QByteArray address = neighbourHardwareAddress(QString::fromLatin1(ipv4Text));
    if (address.size() != 6)
        return false;
    std::copy(address.cbegin(), address.cend(), mac);
    return true;
}

void ScannerTask::serialNumberFromMac(const QString &macText)
{
    QString rest = macText;
    rest.remove(QLatin1Char(':'));
    if (rest.startsWith(QLatin1String("0A7CD2")))
        rest.remove(0, 6);
    if (rest.startsWith(QLatin1String("00"))) {
        serialNumber = QStringLiteral("05") + rest;
    } else if (rest.startsWith(QLatin1String("C0"))) {
        serialNumber = QStringLiteral("02C") + rest.mid(2);
    } else {
        serialNumber.clear();
    }
}

int ScannerTask::identify()
{
    int code = queryIdentity();
    if (m_stopped)
        code = NoConnection;
    if (code == Identified) {
        const bool primoraSerial = serialNumber.startsWith(QLatin1String("05"));
        if (!versionAtLeast(QLatin1String(primoraSerial ? primoraFirmwareMinimum : firmwareMinimum), firmwareVersion)) {
            code = primoraSerial ? OldPrimoraFirmware : OldFirmware;
        } else if (!checkBootloaderVersion() && !m_stopped) {
            qDebug() << "Error: BootLoader older than older than. Your version of the program does not support "
                        "network update.";
            code = OldBootloader;
        }
    }
    if (m_stopped)
        code = NoConnection;
    disconnectSocket();
    return code;
}

int ScannerTask::queryIdentity()
{
    if (!doConnect())
        return NoConnection;
    // The device's greeting first, however late and in however many
    // pieces: a greeting is never its identity (nor, holding "OK", the end
    // of the answer). A device that does not greet is asked all the same.
    const Greeting greeting = awaitGreeting(QEventLoop::AllEvents);
    if (m_stopped)
        return NoConnection;
    if (greeting == Greeting::Lost || greeting == Greeting::Endless)
        return Unidentified;
    timer->start(replyTimeout);
    reply.clear();
    // A device answers "set" with its settings, which may run to many KiB.
    answerLimit = maxIdentity;
    overflowed = false;
    socket->write("set\r\n", 5);
    socket->flush();
    wait();
    answerLimit = maxAnswer;
    return overflowed ? AnswerTooLong : parseIdentity();
}

QString ScannerTask::answerTooLongText(const QString &where)
{
    return QStringLiteral("The device at %1 answered \"set\" with more than %2 bytes, more than this program "
                          "reads; it cannot tell what the device is.").arg(where).arg(maxIdentity);
}

int ScannerTask::parseIdentity()
{
    return identityIn(reply, &serialNumber, &firmwareVersion);
}

int ScannerTask::identityIn(const QByteArray &reply, QString *serialNumber, QString *firmwareVersion)
{
    const QString text = upToNul(reply);
    bool found = false;
    for (const QString *key : { &identitySerialKey, &identityVersionKey }) {
        const int at = text.indexOf(*key, 0, Qt::CaseSensitive);
        if (at < 0)
            continue;
        found = true;
        const int colon = text.indexOf(QLatin1Char(':'), at);
        QString value;
        if (colon >= 0) {
            // Lines may end in CR LF, LF or CR alone.
            const int end = text.indexOf(QRegularExpression(QStringLiteral("[\r\n]")), colon);
            value = text.mid(colon + 1, end < 0 ? -1 : end - colon - 1).trimmed();
        }
        *(key == &identitySerialKey ? serialNumber : firmwareVersion) = value;
    }
    return found ? Identified : Unidentified;
}

bool ScannerTask::versionAtLeast(const QString &minimum, const QString &version)
{
    const QVector<int> have = versionNumbers(version);
    const QVector<int> need = versionNumbers(minimum);
    if (have.isEmpty())
        return false;
    for (int i = 0; i < qMax(have.size(), need.size()); ++i) {
        const int a = have.value(i, 0);
        const int b = need.value(i, 0);
        if (a != b)
            return a > b;
    }
    return true;
}

bool ScannerTask::checkBootloaderVersion()
{
    reply.clear();
    timer->start(replyTimeout);
    sendCommand(QStringLiteral("boot v\r\n"));
    return versionAtLeast(QLatin1String(bootloaderMinimum), bootloaderVersionIn(reply));
}

QString ScannerTask::bootloaderVersionIn(const QByteArray &reply)
{
    // (A digit of any script, as the device's text may hold.)
    const QRegularExpression pattern(QStringLiteral("(\\d+\\.){0,1}(\\d+\\.)(\\*|\\d+)"),
                                     QRegularExpression::UseUnicodePropertiesOption);
    return pattern.match(upToNul(reply)).captured(0);
}

bool ScannerTask::halted() const
{
    return m_stopped;
}

void ScannerTask::stop()
{
    m_stopped = true;
    if (timer)
        timer->stop();
    emit idleFinished();
}
