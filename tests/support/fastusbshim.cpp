// Preloaded (before umockdev's library) into the processes of a benchmark
// that drives many emulated USB devices at once: control transfers on a
// device node that has a fast channel beside it (see FastUsbChannel) go
// there as one message each way, and are reaped here, in the process, as the
// kernel would hand them back. Every other call goes on unchanged.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Channel
{
    ~Channel()
    {
        static const auto realClose = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
        if (socket >= 0)
            realClose(socket);
    }

    int socket = -1;
    std::mutex transferring;             // one request and its answer at a time
    bool gone = false;                   // the node was left: reaping fails with ENODEV
    std::deque<usbdevfs_urb *> done;     // completed, not yet reaped
};

std::mutex &lock()
{
    static std::mutex mutex;
    return mutex;
}

// Shared: a thread still in a transfer keeps its channel when another
// closes the node.
std::map<int, std::shared_ptr<Channel>> &channels()
{
    static std::map<int, std::shared_ptr<Channel>> map;
    return map;
}

template <typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// A device node of the testbed with a fast channel: connect to it.
// Returns `fd`.
int attach(int fd, const char *path)
{
    static const char prefix[] = "/dev/bus/usb/";
    const char *root = std::getenv("UMOCKDEV_DIR");
    if (fd < 0 || !root || std::strncmp(path, prefix, sizeof prefix - 1) != 0)
        return fd;
    std::string node(path + sizeof prefix - 1);     // "001/013"
    const std::size_t slash = node.find('/');
    if (slash == std::string::npos)
        return fd;
    node[slash] = '-';
    const std::string socketPath = std::string(root) + "/fastusb-" + node;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path || access(socketPath.c_str(), F_OK) != 0)
        return fd;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    const int channel = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (channel < 0)
        return fd;
    if (::connect(channel, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(channel);
        return fd;
    }
    auto entry = std::make_shared<Channel>();
    entry->socket = channel;
    std::lock_guard<std::mutex> guard(lock());
    channels()[fd] = entry;
    return fd;
}

std::shared_ptr<Channel> find(int fd)
{
    std::lock_guard<std::mutex> guard(lock());
    const auto it = channels().find(fd);
    return it == channels().end() ? nullptr : it->second;
}

int submit(Channel *channel, usbdevfs_urb *urb)
{
    if (!urb || urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        errno = EINVAL;
        return -1;
    }
    auto *buffer = static_cast<unsigned char *>(urb->buffer);
    const int length = buffer[6] | (buffer[7] << 8);
    const bool in = buffer[0] & 0x80;
    std::vector<char> message(sizeof(int32_t) + 8);
    const int32_t bufferLength = urb->buffer_length;
    std::memcpy(message.data(), &bufferLength, sizeof bufferLength);
    std::memcpy(message.data() + sizeof bufferLength, buffer, 8);
    if (!in)
        message.insert(message.end(), buffer + 8, buffer + 8 + std::min(length, urb->buffer_length - 8));
    std::vector<char> answer(3 * sizeof(int32_t) + 65536);
    std::unique_lock<std::mutex> transferring(channel->transferring);
    if (::send(channel->socket, message.data(), message.size(), MSG_NOSIGNAL) != ssize_t(message.size())) {
        errno = ENODEV;
        return -1;
    }
    ssize_t got;
    do
        got = ::recv(channel->socket, answer.data(), answer.size(), 0);
    while (got < 0 && errno == EINTR);
    transferring.unlock();
    if (got < ssize_t(3 * sizeof(int32_t))) {
        errno = ENODEV;
        return -1;
    }
    int32_t head[3];
    std::memcpy(head, answer.data(), sizeof head);
    if (head[0] != 0) {
        std::lock_guard<std::mutex> guard(lock());
        channel->gone = head[0] == ENODEV;
        errno = head[0];
        return -1;
    }
    const std::size_t data = std::size_t(got) - sizeof head;
    if (in && data > 0)
        std::memcpy(buffer + 8, answer.data() + sizeof head,
                    std::min<std::size_t>(data, std::size_t(urb->buffer_length - 8)));
    urb->status = head[1];
    urb->actual_length = head[2];
    std::lock_guard<std::mutex> guard(lock());
    channel->done.push_back(urb);
    return 0;
}

int reap(Channel *channel, void *slot)
{
    std::lock_guard<std::mutex> guard(lock());
    if (channel->done.empty()) {
        errno = channel->gone ? ENODEV : EAGAIN;
        return -1;
    }
    usbdevfs_urb *urb = channel->done.front();
    channel->done.pop_front();
    std::memcpy(slot, &urb, sizeof urb);
    return 0;
}

} // namespace

extern "C" {

// open() and open64() pass the mode only when they create a file.
#define OPEN_MODE(flags, mode)                                                                                         \
    mode_t mode = 0;                                                                                                   \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                                                                             \
        va_list arguments;                                                                                             \
        va_start(arguments, flags);                                                                                    \
        mode = mode_t(va_arg(arguments, int));                                                                         \
        va_end(arguments);                                                                                             \
    }

int open(const char *path, int flags, ...)
{
    OPEN_MODE(flags, mode)
    static const auto real = next<int (*)(const char *, int, ...)>("open");
    return attach(real(path, flags, mode), path);
}

int open64(const char *path, int flags, ...)
{
    OPEN_MODE(flags, mode)
    static const auto real = next<int (*)(const char *, int, ...)>("open64");
    return attach(real(path, flags, mode), path);
}

// What a fortified open() without a mode compiles to.
int __open_2(const char *path, int flags)
{
    static const auto real = next<int (*)(const char *, int)>("__open_2");
    return attach(real(path, flags), path);
}

int close(int fd)
{
    static const auto real = next<int (*)(int)>("close");
    std::shared_ptr<Channel> channel;
    {
        std::lock_guard<std::mutex> guard(lock());
        const auto it = channels().find(fd);
        if (it != channels().end()) {
            channel = it->second;
            channels().erase(it);
        }
    }
    channel.reset();
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (const std::shared_ptr<Channel> channel = find(fd)) {
        switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(channel.get(), static_cast<usbdevfs_urb *>(argument));
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(channel.get(), argument);
        case USBDEVFS_DISCARDURB:
            errno = EINVAL;
            return -1;
        default:
            break;
        }
    }
    static const auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, argument);
}

} // extern "C"
