#include "networkdevicesimulator.h"

#include "crc16modbus.h"

#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

const quint32 firstImageAddress = 0x40;
const int splitPause = 30;                  // ms between the two pieces of an answer
const char ok[] = "OK\r\n";

} // namespace

NetworkDeviceSimulator::NetworkDeviceSimulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &NetworkDeviceSimulator::accept);
    if (!options.journalFile.isEmpty()) {
        m_journalFile = new QFile(options.journalFile, this);
        if (!m_journalFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            delete m_journalFile;
            m_journalFile = nullptr;
        }
    }
}

NetworkDeviceSimulator::~NetworkDeviceSimulator() = default;

bool NetworkDeviceSimulator::listen()
{
    return m_server->listen(m_options.address, m_options.port);
}

quint16 NetworkDeviceSimulator::serverPort() const
{
    return m_server->serverPort();
}

QString NetworkDeviceSimulator::errorString() const
{
    return m_server->errorString();
}

QStringList NetworkDeviceSimulator::journal() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QStringList copy = m_journal;
    copy.detach();
    return copy;
}

QByteArray NetworkDeviceSimulator::image(char mode) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QByteArray &source = mode == 'W' ? m_imageW : m_imageI;
    return QByteArray(source.constData(), source.size());
}

QByteArray NetworkDeviceSimulator::checkedImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QByteArray(m_checkedImage.constData(), m_checkedImage.size());
}

void NetworkDeviceSimulator::note(const QString &line)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_journal << line;
    }
    if (m_journalFile) {
        m_journalFile->write(line.toUtf8() + '\n');
        m_journalFile->flush();
    }
}

void NetworkDeviceSimulator::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        Connection connection;
        connection.id = ++m_connectionCount;
        m_connections.insert(socket, connection);
        note(QStringLiteral("connect %1").arg(connection.id));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            readFrom(socket);
            const Connection connection = m_connections.take(socket);
            note(QStringLiteral("close %1 %2").arg(connection.id).arg(connection.consumed + connection.buffer.size()));
            saveImage('W');
            socket->deleteLater();
        });
        if (m_options.greeting.isEmpty())
            continue;
        if (m_options.greetingDelay <= 0) {
            post(socket, m_options.greeting);
            continue;
        }
        // A device greets before it answers anything: commands that come
        // before a late greeting are answered after it, a moment later (as
        // a device that answers what came meanwhile).
        QList<QPair<QByteArray, int>> greeting = piecesOf(m_options.greeting);
        greeting.last().second = splitPause;
        holdBack(m_connections[socket], socket, m_options.greetingDelay, greeting);
    }
}

void NetworkDeviceSimulator::readFrom(QTcpSocket *socket)
{
    auto found = m_connections.find(socket);
    if (found == m_connections.end())
        return;
    Connection &connection = found.value();
    if (connection.closing)
        return;
    connection.buffer.append(socket->readAll());
    for (;;) {
        const int end = connection.buffer.indexOf('\n');
        if (end < 0)
            break;
        QByteArray line = connection.buffer.left(end);
        int start = 0;
        while (start < line.size() && line.at(start) == '\r')
            ++start;
        const qint64 offset = connection.consumed + start;
        line = line.mid(start);
        while (line.endsWith('\r'))
            line.chop(1);
        connection.buffer.remove(0, end + 1);
        connection.consumed += end + 1;
        if (!line.isEmpty())
            handle(socket, connection, line, offset);
        if (connection.closing)
            return;
    }
}

void NetworkDeviceSimulator::handle(QTcpSocket *socket, Connection &connection, const QByteArray &command,
                                    qint64 offset)
{
    const QString at = QStringLiteral("%1@%2 ").arg(connection.id).arg(offset);
    if (command == "set") {
        note(at + QStringLiteral("command set"));
        QByteArray identity;
        while (identity.size() < m_options.settingsBytes)
            identity += "setting " + QByteArray::number(identity.size()) + ": 0123456789abcdef\r\n";
        if (!m_options.serialNumber.isEmpty())
            identity += "S/N: " + m_options.serialNumber + "\r\n";
        if (!m_options.firmwareVersion.isEmpty())
            identity += "version: " + m_options.firmwareVersion + "\r\n";
        answer(socket, identity + ok);
        return;
    }
    if (command == "boot v") {
        note(at + QStringLiteral("command boot v"));
        answer(socket, "boot v" + m_options.bootloaderVersion + "\r\n" + ok);
        return;
    }
    if (command == "boot") {
        note(at + QStringLiteral("command boot"));
        if (faultAt(socket, connection, "boot"))
            return;
        if (m_options.closeOnReboot && !m_options.refuseReboot) {
            // It restarts at once, and the connection goes with it.
            connection.closing = true;
            socket->disconnectFromHost();
            return;
        }
        answer(socket, m_options.refuseReboot ? QByteArray("ERROR\r\n") : QByteArray(ok));
        return;
    }
    if (command == "iwr ?") {
        if (faultAt(socket, connection, "check"))
            return;
        const QByteArray verdict = checkAnswer();
        note(at + QStringLiteral("check ") + QString::fromLatin1(verdict));
        answer(socket, verdict == "OK" && !m_options.checkPassed.isEmpty() ? m_options.checkPassed : verdict + "\r\n",
               m_options.checkDelay);
        if (m_options.closeAfterCheck) {
            connection.closing = true;
            QPointer<QTcpSocket> target(socket);
            QTimer::singleShot(m_options.checkDelay, this, [target] {
                if (target)
                    target->disconnectFromHost();
            });
        }
        return;
    }
    if (command.startsWith("iwr I") || command.startsWith("iwr W")) {
        const char mode = command.at(4);
        const int space = command.indexOf(' ', 5);
        const QByteArray addressText = command.mid(5, space < 0 ? -1 : space - 5);
        const QByteArray hex = space < 0 ? QByteArray() : command.mid(space + 1).trimmed();
        bool valid = false;
        const quint32 address = addressText.toUInt(&valid, 16);
        if (valid && mode == 'I' && addressText == "0" && hex.isEmpty()) {
            note(at + QStringLiteral("start I0"));
            if (faultAt(socket, connection, "start"))
                return;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_imageI.clear();
                m_headerReceived = false;
            }
            answer(socket, ok);
            return;
        }
        if (valid && mode == 'I' && addressText == "1" && hex.size() == 2 * 63) {
            if (faultAt(socket, connection, "header"))
                return;
            const QByteArray header = QByteArray(1, char(0x55)) + QByteArray::fromHex(hex);
            quint32 size = 0;
            for (int i = 0; i < 4; ++i)
                size |= quint32(quint8(header.at(4 + i))) << (8 * i);
            const quint16 crc = quint16(quint8(header.at(8)) | (quint8(header.at(9)) << 8));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_headerReceived = true;
                m_headerSize = size;
                m_headerCrc = crc;
            }
            note(at + QStringLiteral("header size=%1 crc=%2 flag=%3")
                          .arg(size)
                          .arg(crc, 4, 16, QLatin1Char('0'))
                          .arg(quint8(header.at(10))));
            saveImage('I');
            if (!connection.silent)
                answer(socket, ok);
            return;
        }
        if (valid && addressText.size() >= 5) {
            handleRecord(socket, connection, mode, address, QByteArray::fromHex(hex), addressText, offset);
            return;
        }
    }
    note(at + QStringLiteral("command ") + QString::fromLatin1(command));
    answer(socket, "Unknown command\r\n");
}

void NetworkDeviceSimulator::handleRecord(QTcpSocket *socket, Connection &connection, char mode, quint32 address,
                                          const QByteArray &data, const QByteArray &addressText, qint64 offset)
{
    const int number = ++connection.records;
    note(QStringLiteral("%1@%2 record %3 %4 %5")
             .arg(connection.id)
             .arg(offset)
             .arg(QLatin1Char(mode))
             .arg(QString::fromLatin1(addressText))
             .arg(data.size()));
    if (faultAt(socket, connection, "record " + QByteArray::number(number)))
        return;
    if (number == m_options.closeAtRecord) {
        connection.closing = true;
        QPointer<QTcpSocket> target(socket);
        QMetaObject::invokeMethod(
            this, [target] {
                if (target)
                    target->disconnectFromHost();
            },
            Qt::QueuedConnection);
        return;
    }
    if (m_options.silentFromRecord > 0 && number >= m_options.silentFromRecord)
        connection.silent = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        QByteArray &target = mode == 'W' ? m_imageW : m_imageI;
        const quint32 base = mode == 'W' ? 0 : firstImageAddress;
        // A 'W' image has no start command: its first record begins it.
        if (mode == 'W' && address == 0)
            target.clear();
        if (address >= base) {
            const int at = int(address - base);
            if (target.size() < at + data.size())
                target.resize(at + data.size());
            target.replace(at, data.size(), data);
        }
    }
    if (connection.silent)
        return;
    const QByteArray acknowledgement = !m_options.recordAnswer.isEmpty() ? m_options.recordAnswer
        : m_options.doubleAcknowledgements                                ? QByteArray(ok) + ok
                                                                          : QByteArray(ok);
    answer(socket, number == m_options.errorAtRecord ? QByteArray("ERROR\r\n") : acknowledgement,
           m_options.recordDelay);
}

bool NetworkDeviceSimulator::faultAt(QTcpSocket *socket, Connection &connection, const QByteArray &step)
{
    if (m_options.fault == Fault::Silent && connection.silent)
        return true;
    if (m_options.fault == Fault::None || step != m_options.faultStep)
        return false;
    note(QStringLiteral("%1 fault at %2").arg(connection.id).arg(QString::fromLatin1(step)));
    QPointer<QTcpSocket> target(socket);
    switch (m_options.fault) {
    case Fault::Close:
    case Fault::Reset:
        connection.closing = true;
        if (m_options.fault == Fault::Reset) {
            // No lingering: the kernel answers the peer with RST.
            const linger abrupt { 1, 0 };
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        }
        QMetaObject::invokeMethod(
            this, [target, this] {
                if (!target)
                    return;
                if (m_options.fault == Fault::Reset)
                    target->abort();
                else
                    target->disconnectFromHost();
            },
            Qt::QueuedConnection);
        return true;
    case Fault::Silent:
        connection.silent = true;
        return true;
    case Fault::Garbage:
        answer(socket, QByteArray("\x01?#\xff iwr\r\n", 10));
        return true;
    case Fault::Refuse:
        answer(socket, "ERROR\r\n");
        return true;
    case Fault::Hold:
        // Taken as usual; its answer waits behind the hold.
        holdBack(connection, socket, holdTime);
        return false;
    case Fault::Unreachable:
        // Taken as usual; a connection tried afterwards is refused.
        m_server->close();
        return false;
    case Fault::None:
        break;
    }
    return false;
}

QByteArray NetworkDeviceSimulator::checkAnswer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const quint16 crc = Crc16Modbus::compute(m_imageI) ^ (m_options.wrongCrc ? 0x0001 : 0);
    const bool good = m_headerReceived && m_headerSize == quint32(m_imageI.size()) && m_headerCrc == crc;
    if (good)
        m_checkedImage = m_imageI;
    return good ? QByteArray("OK") : QByteArray("ERROR");
}

void NetworkDeviceSimulator::answer(QTcpSocket *socket, const QByteArray &text, int delay)
{
    if (delay <= 0) {
        post(socket, text);
        return;
    }
    QPointer<QTcpSocket> target(socket);
    QTimer::singleShot(delay, this, [this, target, text] {
        if (target)
            post(target, text);
    });
}

void NetworkDeviceSimulator::post(QTcpSocket *socket, const QByteArray &text)
{
    auto found = m_connections.find(socket);
    if (found == m_connections.end())
        return;
    QByteArray lines = text;
    if (m_options.lineEnd != "\r\n")
        lines.replace("\r\n", m_options.lineEnd);
    found->outbox += piecesOf(lines);
    pump(socket);
}

void NetworkDeviceSimulator::holdBack(Connection &connection, QTcpSocket *socket, int ms,
                                      const QList<QPair<QByteArray, int>> &first)
{
    connection.holding = true;
    QPointer<QTcpSocket> target(socket);
    QTimer::singleShot(ms, this, [this, target, first] {
        auto held = m_connections.find(target.data());
        if (!target || held == m_connections.end())
            return;
        held->holding = false;
        held->outbox = first + held->outbox;
        pump(target);
    });
}

QList<QPair<QByteArray, int>> NetworkDeviceSimulator::piecesOf(const QByteArray &text) const
{
    if (!m_options.splitReplies || text.size() < 2)
        return { { text, 0 } };
    // Split inside the status word, so that neither piece holds it whole;
    // the second piece follows a moment later.
    int cut = text.size() / 2;
    for (const char *word : { "OK", "ERROR", "Unknown" }) {
        const int at = text.lastIndexOf(word);
        if (at >= 0) {
            cut = at + 1;
            break;
        }
    }
    return { { text.left(cut), splitPause }, { text.mid(cut), 0 } };
}

void NetworkDeviceSimulator::pump(QTcpSocket *socket)
{
    auto found = m_connections.find(socket);
    if (found == m_connections.end() || found->holding)
        return;
    while (!found->outbox.isEmpty()) {
        const QPair<QByteArray, int> piece = found->outbox.takeFirst();
        socket->write(piece.first);
        if (piece.second > 0) {
            socket->flush();
            found->holding = true;
            QPointer<QTcpSocket> target(socket);
            QTimer::singleShot(piece.second, this, [this, target] {
                auto held = m_connections.find(target.data());
                if (!target || held == m_connections.end())
                    return;
                held->holding = false;
                pump(target);
            });
            return;
        }
    }
}

void NetworkDeviceSimulator::saveImage(char mode)
{
    if (m_options.imageFile.isEmpty())
        return;
    const QByteArray bytes = image(mode);
    if (mode == 'W' && bytes.isEmpty())
        return;
    QFile file(m_options.imageFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}
