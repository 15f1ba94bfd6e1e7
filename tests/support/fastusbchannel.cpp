#include "fastusbchannel.h"

#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A control transfer's data stage is at most 64 KiB.
const int largestMessage = 12 + 8 + 65536;

} // namespace

FastUsbChannel::FastUsbChannel(const QString &path, Handler handler)
    : m_path(path)
    , m_handler(std::move(handler))
{
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (name.size() >= int(sizeof address.sun_path) || ::pipe2(m_wake, O_CLOEXEC) != 0)
        return;
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    ::unlink(name.constData());
    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0) {
        ::close(listener);
        return;
    }
    m_listener = listener;
    m_thread = std::thread([this] { run(); });
}

FastUsbChannel::~FastUsbChannel()
{
    if (m_thread.joinable()) {
        const char stop = 1;
        while (::write(m_wake[1], &stop, 1) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(m_path.toLocal8Bit().constData());
    }
    for (const int fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString FastUsbChannel::pathFor(const QString &rootDir, const QString &devNode)
{
    // "/dev/bus/usb/001/013" -> "<root>/fastusb-001-013"
    const QStringList parts = devNode.split(QLatin1Char('/'));
    return rootDir + QStringLiteral("/fastusb-") + parts.value(parts.size() - 2) + QLatin1Char('-') + parts.last();
}

void FastUsbChannel::run()
{
    // One thread serves every process that has the device open, a transfer
    // at a time, as the device itself would.
    std::vector<int> clients;
    std::vector<char> message(largestMessage);
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({ m_wake[0], POLLIN, 0 });
        fds.push_back({ m_listener, POLLIN, 0 });
        for (const int client : clients)
            fds.push_back({ client, POLLIN, 0 });
        if (::poll(fds.data(), nfds_t(fds.size()), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                clients.push_back(client);
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const int client = fds[i].fd;
            const ssize_t n = ::recv(client, message.data(), message.size(), 0);
            int32_t bufferLength = 0;
            if (n >= ssize_t(sizeof bufferLength + 8)) {
                std::memcpy(&bufferLength, message.data(), sizeof bufferLength);
                const QByteArray request(message.data() + sizeof bufferLength, int(n - ssize_t(sizeof bufferLength)));
                const Reply reply = m_handler(request, bufferLength);
                ++m_transfers;
                QByteArray answer;
                const int32_t head[3] = { reply.result, reply.status, reply.actualLength };
                answer.append(reinterpret_cast<const char *>(head), sizeof head);
                answer.append(reply.in);
                if (::send(client, answer.constData(), std::size_t(answer.size()), MSG_NOSIGNAL) == answer.size())
                    continue;
            }
            // Closed, or not a transfer: that caller is done.
            ::close(client);
            clients.erase(std::find(clients.begin(), clients.end(), client));
        }
    }
    for (const int client : clients)
        ::close(client);
}
