#include "rs485sub20.h"

#include "sub20.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

speed_t speedFor(int baudRate)
{
    switch (baudRate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
    }
}

} // namespace

Rs485Sub20::Options Rs485Sub20::Options::fromSettings(QSettings &settings)
{
    Options options;
    settings.beginGroup(QStringLiteral("adapter"));
    options.port = settings.value(QStringLiteral("port"), options.port).toString();
    options.baudRate = settings.value(QStringLiteral("baud"), options.baudRate).toInt();
    const QString parity = settings.value(QStringLiteral("parity"), QStringLiteral("none")).toString().toLower();
    options.parity = parity == QLatin1String("even") ? 'E' : parity == QLatin1String("odd") ? 'O' : 'N';
    options.discardEcho = settings.value(QStringLiteral("discard_echo"), false).toBool();
    settings.endGroup();
    return options;
}

Rs485Sub20::Rs485Sub20(const Options &options)
    : m_options(options)
{
    // The Modbus gap between frames: 3.5 characters, but at least 1.75 ms
    // (the fixed value for rates above 19200 baud).
    const int bitsPerCharacter = options.parity == 'N' ? 10 : 11;
    m_gapUs = qMax(1750, int(3.5 * bitsPerCharacter * 1000000.0 / qMax(1, options.baudRate)));

    const int fd = ::open(QFile::encodeName(options.port).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        m_openError = errno;
        return;
    }
    struct termios line;
    if (tcgetattr(fd, &line) != 0) {
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

int Rs485Sub20::rsTiming(int, int, int replyWaitUs, int)
{
    m_replyWaitUs = qMax(0, replyWaitUs);
    return 0;
}

int Rs485Sub20::readFrame(char *buffer, int size, int firstUs, int gapUs)
{
    int count = 0;
    QElapsedTimer waited;
    waited.start();
    while (count < size) {
        const qint64 left = count == 0 ? firstUs - waited.nsecsElapsed() / 1000 : gapUs;
        if (left <= 0)
            break;
        struct pollfd watch = { m_fd, POLLIN, 0 };
        const int ready = ::poll(&watch, 1, int((left + 999) / 1000));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (watch.revents & (POLLERR | POLLNVAL)) || (watch.revents & POLLHUP && !(watch.revents & POLLIN)))
            return -1;
        if (ready == 0)
            break;
        const ssize_t got = ::read(m_fd, buffer + count, size_t(size - count));
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            return -1;
        count += int(got);
    }
    return count;
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
    // Whatever came in before the request is no answer to it.
    tcflush(m_fd, TCIFLUSH);
    for (int written = 0; written < txSize;) {
        const ssize_t sent = ::write(m_fd, tx + written, size_t(txSize - written));
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0) {
            setError(SUB_ERROR_PORT);
            return -1;
        }
        written += int(sent);
    }
    tcdrain(m_fd);

    int kept = 0;
    if (m_options.discardEcho) {
        // The converter's own transmission comes back first. Bytes that are
        // not the request are the start of the reply and are kept.
        QByteArray echo(txSize, '\0');
        const int heard = readFrame(echo.data(), txSize, m_replyWaitUs, m_gapUs);
        if (heard < 0) {
            setError(SUB_ERROR_PORT);
            return -1;
        }
        if (heard > 0 && std::memcmp(echo.constData(), tx, size_t(heard)) != 0) {
            kept = qMin(heard, rxSize);
            std::memcpy(rx, echo.constData(), size_t(kept));
        }
    }
    const int got = readFrame(rx + kept, rxSize - kept, kept > 0 ? m_gapUs : m_replyWaitUs, m_gapUs);
    if (got < 0) {
        setError(SUB_ERROR_PORT);
        return -1;
    }
    return kept + got;
}
