#include "rs485sub20.h"

#include "crc16modbus.h"
#include "filenames.h"
#include "modbusframe.h"
#include "sub20.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSettings>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct Rate
{
    int baud;
    speed_t speed;
};

const Rate rates[] = { { 1200, B1200 },     { 2400, B2400 },     { 4800, B4800 },     { 9600, B9600 },
                       { 19200, B19200 },   { 38400, B38400 },   { 57600, B57600 },   { 115200, B115200 },
                       { 230400, B230400 }, { 460800, B460800 }, { 921600, B921600 } };

speed_t speedFor(int baudRate)
{
    for (const Rate &rate : rates) {
        if (rate.baud == baudRate)
            return rate.speed;
    }
    return B0;
}

// A USB converter holds received bytes until its packet is full or its
// latency timer runs out (16 ms by default, up to 255 ms when set so): a
// reply may pause this long between pieces. Only a longer pause means the
// sender has stopped.
const int stallAllowanceUs = 50000;
// How long the converter is given to return what it sent, beyond its time
// on the line, and between two pieces of it: longer than the longest
// latency timer a converter can be set to (255 ms), since an echo cut short
// and taken for no echo (or for the start of a reply) would let the echo of
// a request stand for the pad's answer.
const int echoAllowanceUs = 300000;
// Modbus addresses 248 to 255 are reserved: no pad answers the probe.
const unsigned char probeAddress = 0xF8;

QString settingsProblem(const QString &key, const QString &value, const QString &allowed)
{
    return QStringLiteral("The adapter setting %1=%2 cannot be used: %3.").arg(key, value, allowed);
}

} // namespace

bool Rs485Sub20::isSupportedRate(int baudRate)
{
    return speedFor(baudRate) != B0;
}

Rs485Sub20::Options Rs485Sub20::Options::fromSettings(QSettings &settings)
{
    Options options;
    settings.beginGroup(QStringLiteral("adapter"));
    options.port = settings.value(QStringLiteral("port"), options.port).toString();

    const QString baud = settings.value(QStringLiteral("baud"), options.baudRate).toString().trimmed();
    bool number = false;
    const int rate = baud.toInt(&number);
    if (number && isSupportedRate(rate)) {
        options.baudRate = rate;
    } else {
        QStringList allowed;
        for (const Rate &known : rates)
            allowed << QString::number(known.baud);
        options.problem = settingsProblem(QStringLiteral("baud"), baud,
                                          QStringLiteral("baud must be one of ") + allowed.join(QStringLiteral(", ")));
    }

    const QString parity = settings.value(QStringLiteral("parity"), QStringLiteral("none")).toString().trimmed().toLower();
    if (parity == QLatin1String("none") || parity == QLatin1String("n"))
        options.parity = 'N';
    else if (parity == QLatin1String("even") || parity == QLatin1String("e"))
        options.parity = 'E';
    else if (parity == QLatin1String("odd") || parity == QLatin1String("o"))
        options.parity = 'O';
    else if (options.problem.isEmpty())
        options.problem = settingsProblem(QStringLiteral("parity"), parity, QStringLiteral("parity must be none, even or odd (or n, e, o)"));

    const QString echo = settings.value(QStringLiteral("discard_echo"), QStringLiteral("auto")).toString().trimmed().toLower();
    if (echo == QLatin1String("auto"))
        options.echo = Echo::Detect;
    else if (echo == QLatin1String("true") || echo == QLatin1String("yes") || echo == QLatin1String("1"))
        options.echo = Echo::Discard;
    else if (echo == QLatin1String("false") || echo == QLatin1String("no") || echo == QLatin1String("0"))
        options.echo = Echo::Keep;
    else if (options.problem.isEmpty())
        options.problem = settingsProblem(QStringLiteral("discard_echo"), echo,
                                          QStringLiteral("discard_echo must be auto, true or false (or yes, no, 1, 0)"));
    settings.endGroup();
    return options;
}

Rs485Sub20::Rs485Sub20(const Options &options)
    : m_options(options)
{
    if (options.echo == Echo::Discard)
        m_echo = 1;
    else if (options.echo == Echo::Keep)
        m_echo = 0;
    if (!options.problem.isEmpty() || !isSupportedRate(options.baudRate)) {
        m_openError = EINVAL;
        return;
    }

    const int fd = ::open(FileNames::encode(options.port).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        m_openError = errno;
        return;
    }
    struct termios line;
    if (tcgetattr(fd, &line) != 0) {
        m_openError = errno;
        ::close(fd);
        return;
    }
    cfmakeraw(&line);
    cfsetispeed(&line, speedFor(options.baudRate));
    cfsetospeed(&line, speedFor(options.baudRate));
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~(PARENB | PARODD | CSTOPB | CRTSCTS);
    if (options.parity != 'N')
        line.c_cflag |= PARENB | (options.parity == 'O' ? PARODD : 0);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        m_openError = errno;
        ::close(fd);
        return;
    }
    m_fd = fd;
}

Rs485Sub20::~Rs485Sub20()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int Rs485Sub20::irConfig(int, int, int, int)
{
    setError(SUB_ERROR_NOT_SUPPORTED);
    return SUB_ERROR_NOT_SUPPORTED;
}

int Rs485Sub20::irTransmit(const char *, int)
{
    setError(SUB_ERROR_NOT_SUPPORTED);
    return SUB_ERROR_NOT_SUPPORTED;
}

int Rs485Sub20::rsTiming(int, int, int replyWaitUs, int byteGapUs)
{
    m_replyWaitUs = qMax(0, replyWaitUs);
    m_byteGapUs = qMax(0, byteGapUs);
    return 0;
}

int Rs485Sub20::lineTimeUs(int bytes) const
{
    const int bitsPerCharacter = m_options.parity == 'N' ? 10 : 11;
    return int(qint64(bytes) * bitsPerCharacter * 1000000 / qMax(1, m_options.baudRate));
}

int Rs485Sub20::readFrame(char *buffer, int have, int size, int firstUs, int stallUs, bool modbusReply)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(buffer);
    int count = have;
    QElapsedTimer waited;
    waited.start();
    qint64 lastUs = 0;
    while (count < size) {
        int wanted = size - count;
        if (modbusReply) {
            // Never past the end of this reply: what follows is not its.
            const int length = ModbusFrame::replyLength(bytes, count);
            if (length > 0 && count >= length)
                break;
            if (length > count)
                wanted = qMin(wanted, length - count);
            else if (length == ModbusFrame::needMore)
                wanted = 1;
        }
        const qint64 nowUs = waited.nsecsElapsed() / 1000;
        const qint64 left = count == 0 ? firstUs - nowUs : lastUs + stallUs - nowUs;
        if (left <= 0)
            break;
        struct pollfd watch = { m_fd, POLLIN, 0 };
        const int ready = ::poll(&watch, 1, int((left + 999) / 1000));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (watch.revents & (POLLERR | POLLNVAL)) || (watch.revents & POLLHUP && !(watch.revents & POLLIN)))
            return -1;
        if (ready == 0)
            continue;
        const ssize_t got = ::read(m_fd, buffer + count, size_t(wanted));
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            return -1;
        count += int(got);
        lastUs = waited.nsecsElapsed() / 1000;
    }
    return count;
}

bool Rs485Sub20::send(const char *data, int size)
{
    for (int written = 0; written < size;) {
        const ssize_t sent = ::write(m_fd, data + written, size_t(size - written));
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        written += int(sent);
    }
    tcdrain(m_fd);
    return true;
}

bool Rs485Sub20::detectEcho()
{
    // Diagnostics "return query data" to a reserved address: no pad
    // answers it, so whatever comes back identical is the converter
    // hearing its own transmission.
    QByteArray probe = QByteArray::fromHex("0800004543");
    probe.prepend(char(probeAddress));
    Crc16Modbus::append(probe);
    tcflush(m_fd, TCIFLUSH);
    if (!send(probe.constData(), int(probe.size())))
        return false;
    QByteArray heard(probe.size(), '\0');
    const int wait = lineTimeUs(int(probe.size())) + echoAllowanceUs;
    const int got = readFrame(heard.data(), 0, int(heard.size()), wait, wait, false);
    if (got < 0)
        return false;
    // Even a part of the probe coming back is the converter's echo.
    m_echo = got > 0 && heard.left(got) == probe.left(got) ? 1 : 0;
    qInfo().noquote() << (m_echo ? QStringLiteral("The RS-485 converter on %1 returns what it sends: its echo is "
                                                  "discarded from every reply.")
                                 : QStringLiteral("The RS-485 converter on %1 does not return what it sends."))
                             .arg(m_options.port);
    return true;
}

int Rs485Sub20::rsTransfer(const char *tx, int txSize, char *rx, int rxSize)
{
    if (m_fd < 0) {
        setError(SUB_ERROR_PORT);
        return -1;
    }
    if (txSize <= 0 || rxSize < 0) {
        setError(SUB_ERROR_ARGUMENT);
        return -1;
    }
    if (m_echo < 0 && !detectEcho()) {
        setError(SUB_ERROR_PORT);
        return -1;
    }
    // Whatever came in before the request is no answer to it.
    tcflush(m_fd, TCIFLUSH);
    if (!send(tx, txSize)) {
        setError(SUB_ERROR_PORT);
        return -1;
    }
    const int stallUs = qMax(m_byteGapUs, stallAllowanceUs);
    int kept = 0;
    if (m_echo == 1) {
        // The converter's own transmission comes back first. Bytes that are
        // not the request are the start of the reply and are kept.
        QByteArray echo(txSize, '\0');
        const int wait = lineTimeUs(txSize) + echoAllowanceUs;
        const int heard = readFrame(echo.data(), 0, txSize, wait, wait, false);
        if (heard < 0) {
            setError(SUB_ERROR_PORT);
            return -1;
        }
        // What repeats the request is echo, also when only its start came:
        // kept as a reply, the rest of the echo could complete a "reply"
        // identical to the request, the pad's answer without a pad.
        if (heard > 0 && std::memcmp(echo.constData(), tx, size_t(heard)) != 0) {
            kept = qMin(heard, rxSize);
            std::memcpy(rx, echo.constData(), size_t(kept));
        }
    }
    const int got = readFrame(rx, kept, rxSize, m_replyWaitUs, stallUs, true);
    if (got < 0) {
        setError(SUB_ERROR_PORT);
        return -1;
    }
    return got;
}
