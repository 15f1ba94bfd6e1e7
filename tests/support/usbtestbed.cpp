// umockdev's GLib headers use "signals" as a name: include them before Qt.
#include <umockdev.h>

#include "usbtestbed.h"

#include <dlfcn.h>
#include <fnmatch.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <QDebug>

// The testbed hands each event to every program listening in it through a
// socket named "event<N>" in its directory. umockdev 0.17 aborts the whole
// test when such a send fails: when the program under test closes its
// monitor just as the event goes out (a program closing its libusb context
// because the device it wrote just left), or when it has not read its last
// ten events. The kernel never fails the sender of an event because of a
// listener; a closed or full listener just misses it. These two calls, in
// the test process only, make the testbed do the same.
namespace {

bool isEventSocket(const void *address, socklen_t length)
{
    if (!address || length <= socklen_t(offsetof(sockaddr_un, sun_path)))
        return false;
    const auto *unixAddress = static_cast<const sockaddr_un *>(address);
    if (unixAddress->sun_family != AF_UNIX)
        return false;
    const char *root = std::getenv("UMOCKDEV_DIR");
    const size_t rootLength = root ? std::strlen(root) : 0;
    const char *path = unixAddress->sun_path;
    return rootLength > 0 && std::strncmp(path, root, rootLength) == 0 && path[rootLength] == '/'
        && fnmatch("event[0-9]*", path + rootLength + 1, FNM_PATHNAME) == 0;
}

template <typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

// The socket the testbed connected to a listener on this thread: its next
// send goes there (the testbed names no address with it).
thread_local int eventSocket = -1;

extern "C" int connect(int fd, const sockaddr *address, socklen_t length)
{
    static const auto real = next<int (*)(int, const sockaddr *, socklen_t)>("connect");
    int result = real(fd, address, length);
    if (!isEventSocket(address, length))
        return result;
    // The listener closed its socket since the testbed looked for it: the
    // send that follows fails, and is let go below.
    if (result < 0 && errno == ENOENT)
        result = 0;
    if (result == 0)
        eventSocket = fd;
    return result;
}

extern "C" ssize_t sendmsg(int fd, const msghdr *message, int flags)
{
    static const auto real = next<ssize_t (*)(int, const msghdr *, int)>("sendmsg");
    const ssize_t sent = real(fd, message, flags);
    if (fd != eventSocket)
        return sent;
    eventSocket = -1;
    if (sent >= 0 || !message)
        return sent;
    ssize_t length = 0;
    for (size_t i = 0; i < size_t(message->msg_iovlen); ++i)
        length += ssize_t(message->msg_iov[i].iov_len);
    return length;
}

UsbTestbed::UsbTestbed()
{
    // Without the preload library the testbed would be invisible to the
    // code under test, so refuse to pretend.
    if (qgetenv("LD_PRELOAD").contains("libumockdev-preload"))
        m_testbed = umockdev_testbed_new();
}

UsbTestbed::~UsbTestbed()
{
    if (m_testbed)
        g_object_unref(m_testbed);
}

QByteArray UsbTestbed::describe(const Device &device)
{
    const QByteArray number = QByteArray::number(device.deviceNumber).rightJustified(3, '0');
    const QByteArray vendor = QByteArray::number(device.vendorId, 16).rightJustified(4, '0');
    const QByteArray product = QByteArray::number(device.productId, 16).rightJustified(4, '0');
    QByteArray text;
    text += "P: /devices/pci0000:00/0000:00:14.0/usb1/" + device.port + "\n";
    text += "N: bus/usb/001/" + number + "\n";
    text += "E: SUBSYSTEM=usb\n";
    text += "E: DEVTYPE=" + device.devType + "\n";
    text += "E: DEVNAME=/dev/bus/usb/001/" + number + "\n";
    text += "E: PRODUCT=" + QByteArray::number(device.vendorId, 16) + "/"
        + QByteArray::number(device.productId, 16) + "/100\n";
    text += "E: BUSNUM=001\n";
    text += "E: DEVNUM=" + number + "\n";
    text += "A: idVendor=" + vendor + "\n";
    text += "A: idProduct=" + product + "\n";
    // A serial number with control characters (a hostile device's) as
    // bytes, which a text line could not hold.
    const bool plainSerial = std::all_of(device.serial.cbegin(), device.serial.cend(),
                                         [](char c) { return uchar(c) >= 0x20 && c != 0x7F; });
    if (!device.serial.isEmpty())
        text += plainSerial ? "A: serial=" + device.serial + "\n" : "H: serial=" + device.serial.toHex() + "\n";
    text += "A: busnum=1\n";
    text += "A: devnum=" + QByteArray::number(device.deviceNumber) + "\n";
    return text;
}

QString UsbTestbed::add(const Device &device)
{
    return addDescription(describe(device));
}

QString UsbTestbed::addHub(const QByteArray &port, int deviceNumber)
{
    Device hub;
    hub.port = port;
    hub.deviceNumber = deviceNumber;
    hub.vendorId = 0x1d6b;
    hub.productId = 0x0002;
    // Device descriptor (class 9, hub), then one configuration with one
    // interface and its interrupt endpoint.
    const QByteArray descriptors = QByteArray::fromHex("12010002090001406b1d0200000100000001"
                                                       "09021900010100e000"
                                                       "090400000109000000"
                                                       "0705810304000c");
    return addDescription(describe(hub) + "H: descriptors=" + descriptors.toHex() + "\n");
}

QString UsbTestbed::addDescription(const QByteArray &description)
{
    if (!m_testbed)
        return QString();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, description.constData(), &error)) {
        qWarning() << "umockdev:" << (error ? error->message : "unknown error");
        g_clear_error(&error);
        return QString();
    }
    // The first line is "P: <devpath>".
    const QByteArray devPath = description.left(description.indexOf('\n')).mid(3);
    return QStringLiteral("/sys") + QString::fromLatin1(devPath);
}

void UsbTestbed::remove(const QString &sysPath)
{
    if (!m_testbed)
        return;
    const QByteArray path = sysPath.toLocal8Bit();
    umockdev_testbed_uevent(m_testbed, path.constData(), "remove");
    umockdev_testbed_remove_device(m_testbed, path.constData());
}

QString UsbTestbed::rootDir() const
{
    if (!m_testbed)
        return QString();
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    const QString path = QString::fromLocal8Bit(root);
    g_free(root);
    return path;
}
