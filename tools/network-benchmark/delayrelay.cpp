#include "delayrelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Piece
{
    Clock::time_point due;
    std::string bytes;                  // empty: the sending side closed; pass the close on
    std::size_t sent = 0;
};

// One relayed connection: side 0 is the peer that connected, side 1 the
// target.
struct Link
{
    int fd[2] = { -1, -1 };
    std::deque<Piece> toward[2];        // toward[s]: to be written to fd[s]
    std::size_t queued[2] = { 0, 0 };   // bytes in toward[s] not yet written
    bool readEnded[2] = { false, false };
    bool writeEnded[2] = { false, false };
    bool broken = false;                // reset or failed: both sides end at once

    ~Link()
    {
        for (const int fd : this->fd) {
            if (fd < 0)
                continue;
            if (broken) {
                // No lingering: the peer hears a reset, as from the far end.
                const linger abrupt { 1, 0 };
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
            }
            ::close(fd);
        }
    }
};

void prepare(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // The relay adds its delay and nothing else: each piece goes out when
    // it is due, not when the peer has acknowledged the one before.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// What one direction may hold before its sender is no longer read.
const std::size_t maxQueued = 4 * 1024 * 1024;

// Writes what is due toward each side, as far as the side takes it.
void passOnDue(Link &link, Clock::time_point now)
{
    for (int side = 0; side < 2 && !link.broken; ++side) {
        std::deque<Piece> &queue = link.toward[side];
        while (!queue.empty() && queue.front().due <= now) {
            Piece &piece = queue.front();
            if (piece.bytes.empty()) {
                ::shutdown(link.fd[side], SHUT_WR);
                link.writeEnded[side] = true;
                queue.pop_front();
                continue;
            }
            const ssize_t n = ::send(link.fd[side], piece.bytes.data() + piece.sent, piece.bytes.size() - piece.sent,
                                     MSG_NOSIGNAL);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    link.broken = true;
                break;
            }
            piece.sent += std::size_t(n);
            link.queued[side] -= std::size_t(n);
            if (piece.sent < piece.bytes.size())
                break;
            queue.pop_front();
        }
    }
}

} // namespace

DelayRelay::DelayRelay(quint16 targetPort, std::chrono::microseconds oneWay)
    : m_targetPort(targetPort)
    , m_oneWay(oneWay)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_listener < 0 || m_wake < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), size) != 0
        || ::listen(m_listener, 8) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

DelayRelay::~DelayRelay()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        const ssize_t written = ::write(m_wake, &one, sizeof one);
        (void)written;
        m_thread.join();
    }
    if (m_wake >= 0)
        ::close(m_wake);
    if (m_listener >= 0)
        ::close(m_listener);
}

void DelayRelay::run()
{
    // Wake-ups within microseconds of the time asked for: the default slack
    // (50 us) would be a tenth of the shortest delay.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<std::unique_ptr<Link>> links;
    std::vector<pollfd> fds;
    for (;;) {
        const Clock::time_point now = Clock::now();
        for (auto &link : links)
            passOnDue(*link, now);
        for (auto it = links.begin(); it != links.end();) {
            const Link &link = **it;
            if (link.broken || (link.writeEnded[0] && link.writeEnded[1]))
                it = links.erase(it);
            else
                ++it;
        }

        // What to wait for, and until when.
        fds.clear();
        fds.push_back({ m_wake, POLLIN, 0 });
        fds.push_back({ m_listener, POLLIN, 0 });
        Clock::time_point next = Clock::time_point::max();
        for (const auto &link : links) {
            for (int side = 0; side < 2; ++side) {
                // A side is read only while what it sent before is not piling
                // up toward the other (one that stops reading would grow it
                // without bound); TCP then holds the sender back.
                short events = link->readEnded[side] || link->queued[1 - side] >= maxQueued ? 0 : POLLIN;
                const std::deque<Piece> &queue = link->toward[side];
                if (!queue.empty()) {
                    if (queue.front().due <= now)
                        events |= POLLOUT;          // the side took less than was due
                    else if (queue.front().due < next)
                        next = queue.front().due;
                }
                // A side that has closed and is owed nothing is left out:
                // its hang-up would wake the wait at once, again and again.
                fds.push_back({ events ? link->fd[side] : -1, events, 0 });
            }
        }
        timespec timeout {};
        timespec *limit = nullptr;
        if (next != Clock::time_point::max()) {
            const auto left = std::max(Clock::duration::zero(), next - Clock::now());
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = time_t(nanoseconds / 1000000000);
            timeout.tv_nsec = long(nanoseconds % 1000000000);
            limit = &timeout;
        }
        if (::ppoll(fds.data(), nfds_t(fds.size()), limit, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;

        // What came is due one delay from its arrival.
        const Clock::time_point arrived = Clock::now();
        const std::size_t polled = links.size();
        for (std::size_t i = 0; i < polled; ++i) {
            Link &link = *links[i];
            for (int side = 0; side < 2; ++side) {
                const short revents = fds[2 + 2 * i + side].revents;
                if (link.readEnded[side] || !(revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[65536];
                const ssize_t n = ::recv(link.fd[side], buffer, sizeof buffer, 0);
                if (n > 0) {
                    link.toward[1 - side].push_back({ arrived + m_oneWay, std::string(buffer, std::size_t(n)), 0 });
                    link.queued[1 - side] += std::size_t(n);
                } else if (n == 0) {
                    link.readEnded[side] = true;
                    link.toward[1 - side].push_back({ arrived + m_oneWay, std::string(), 0 });
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    link.broken = true;
                }
            }
        }
        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int peer = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer < 0)
                    break;
                auto link = std::make_unique<Link>();
                link->fd[0] = peer;
                link->fd[1] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in target = loopback(m_targetPort);
                if (link->fd[1] < 0
                    || ::connect(link->fd[1], reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0) {
                    link->broken = true;            // the peer hears a reset, as from a refused port
                    continue;
                }
                prepare(link->fd[0]);
                prepare(link->fd[1]);
                links.push_back(std::move(link));
            }
        }
    }
}
