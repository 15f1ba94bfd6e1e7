#ifndef FASTUSBCHANNEL_H
#define FASTUSBCHANNEL_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

// A quicker road to an emulated USB device's control endpoint than
// umockdev's ioctl socket, which costs several round trips per transfer (the
// handler reads the URB, then its buffer, from the caller): a process that
// loads the fast USB shim (libfastusbshim.so, before umockdev's preload
// library) sends each control transfer as one message on a local socket
// beside the device node and gets one answer. With many devices busy at once
// on few cores, umockdev's round trips, not the programs, set the pace.
//
// Message to the device: bufferLength (int32), the 8-byte setup packet, the
// OUT data. Answer: result (int32: 0, or the errno the submission fails
// with), status (int32, the URB's), actualLength (int32), the IN data.
class FastUsbChannel
{
public:
    struct Reply
    {
        int result = 0;
        int status = 0;
        int actualLength = 0;
        QByteArray in;
    };
    // Runs on the channel's own thread, one transfer at a time.
    using Handler = std::function<Reply(const QByteArray &setupAndOut, int bufferLength)>;

    // Listens at `path` (the name the shim derives from the device node).
    FastUsbChannel(const QString &path, Handler handler);
    ~FastUsbChannel();

    bool isListening() const { return m_listener >= 0; }
    // Transfers answered so far (read after the callers are done).
    int transfers() const { return m_transfers.load(); }

    // The socket path for `devNode` ("/dev/bus/usb/BBB/DDD") in the testbed
    // whose root is `rootDir`.
    static QString pathFor(const QString &rootDir, const QString &devNode);

private:
    void run();

    QString m_path;
    Handler m_handler;
    int m_listener = -1;
    int m_wake[2] = { -1, -1 };
    std::atomic<int> m_transfers { 0 };
    std::thread m_thread;
};

#endif // FASTUSBCHANNEL_H
