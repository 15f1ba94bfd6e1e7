#ifndef EMULATEDDFUDEVICE_H
#define EMULATEDDFUDEVICE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class FastUsbChannel;
class QTimer;
class UsbTestbed;
struct libusb_context;
struct libusb_device;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

// A USB device of the maker, emulated for libusb through umockdev: device and
// configuration descriptors with a DFU interface and functional descriptor,
// string descriptors, the vendor version request 0xC0/0x80, and a DFU 1.1
// state machine with error injection. It records every control request and
// the bytes downloaded into it.
class EmulatedDfuDevice
{
public:
    enum State {
        AppIdle = 0,
        AppDetach = 1,
        DfuIdle = 2,
        DfuDnloadSync = 3,
        DfuDnbusy = 4,
        DfuDnloadIdle = 5,
        DfuManifestSync = 6,
        DfuManifest = 7,
        DfuManifestWaitReset = 8,
        DfuUploadIdle = 9,
        DfuError = 10
    };

    // One misbehaviour at one step of a download.
    enum Fault {
        NoFault,
        ShortStatus,     // answers DFU_GETSTATUS with 5 bytes from then on
        WrongState,      // reports appIDLE, which no download step leads to
        Refuses,         // reports dfuERROR (errWRITE; errVERIFY at the end)
        Leaves,          // leaves the bus: this and every later request fail (at the end of the
                         // image, it restarts into the image without answering)
        LeavesAfter,     // takes the request, then leaves the bus
        Stalls,          // refuses the request with a STALL and says dfuERROR
        ResetsInStatus,  // takes the request and resets in its status stage: the host sees an I/O
                         // error, and the device leaves the bus (restarting into the image at its end)
        StatusIoError,   // takes the request; the next DFU_GETSTATUS fails with an I/O error as the
                         // device resets and leaves the bus (restarting into the image at its end)
        GoesSilent       // takes the request, then answers nothing: every later request times out
                         // (at the end of the image it is restarting into it)
    };

    struct Config
    {
        QByteArray port = "1-3";
        int deviceNumber = 2;
        quint16 vendorId = 0x3B5D;
        quint16 productId = 0x8001;
        quint8 deviceClass = 0;
        QByteArray manufacturer = "Ordane";
        QByteArray product = "GW NET";       // empty: iProduct 0
        QByteArray serial = "0500A1B2";      // empty: iSerialNumber 0
        bool hasFunctionalDescriptor = true;
        // bitCanUpload: DFU_UPLOAD returns the image it holds, from dfuIDLE.
        bool canUpload = false;
        // bmAttributes besides bitCanUpload: bit 0 can download, bit 2
        // manifestation tolerant, bit 3 detaches by itself.
        quint8 attributes = 0x0D;
        int corruptUploadAt = -1;            // this byte of the image reads back changed
        QByteArray holds;                    // the image it holds before anything is written
        quint16 transferSize = 1024;
        // Where the DFU interface sits. Above 0, a vendor interface comes
        // first; DFU requests addressed to any other interface stall.
        quint8 interfaceNumber = 0;
        quint8 configurationValue = 1;
        State initialState = DfuIdle;
        // 10 bytes answered to the vendor request; empty: the request stalls.
        QByteArray versionReply = QByteArray::fromHex("0201060000000000000a");
        // Error injection.
        int busyPolls = 0;                   // dfuDNBUSY answers after each block
        int busyMs = 0;                      // ... and for this long after each block
        int manifestMs = 0;                  // reports dfuMANIFEST this long after the end of the image
        bool busyForever = false;
        int errorOnBlock = -1;               // dfuERROR after this block
        bool shortStatusReply = false;       // GETSTATUS answers 5 bytes
        bool stallStatus = false;            // GETSTATUS stalls
        quint32 pollTimeout = 0;             // bwPollTimeout announced, ms
        int shortBlock = -1;                 // this block is taken only in half
        // Called on umockdev's thread when a block with data has been taken.
        std::function<void(int block)> onBlock;
        // `fault` at the `faultAtDownload`-th DFU_DNLOAD (from 1; the
        // zero-length one that ends the image counts too).
        Fault fault = NoFault;
        int faultAtDownload = 0;
        // When it leaves (Leaves), it is also taken off the testbed, as an
        // unplugged device is seen: on the thread that made the device (a
        // handler thread must not change the bus), once its events run.
        bool unplugWhenLeaving = false;
        // After DFU_DETACH the device leaves the bus this long (ms) later and
        // comes back as its bootloader (product identifier | 0x8000, next
        // device number, same port) in dfuIDLE. Negative: it stays.
        int detachDelay = 100;
        // Non-empty: the COM-port variant of the device. Besides its USB
        // device (give it deviceClass 2) it has this tty, a pseudo-terminal
        // whose properties name the vendor, product and serial; "boot\n"
        // received there makes it leave like after a DETACH and come back
        // as its bootloader.
        QByteArray ttyName;
        // The tty appears this long (ms) after the USB device, as when a
        // serial driver binds; 0: at once.
        int ttyDelay = 0;

        // Where it sits on the bus: its port path and device number.
        Config &at(const QByteArray &portPath, int number)
        {
            port = portPath;
            deviceNumber = number;
            return *this;
        }
    };

    struct Request
    {
        quint8 requestType;
        quint8 request;
        quint16 value;
        quint16 index;
        quint16 length;
        QByteArray data;                     // OUT data
        qint64 time;                         // ms, monotonic clock
    };

    explicit EmulatedDfuDevice(const Config &config);
    ~EmulatedDfuDevice();

    // Attaches the request handler and adds the device to the testbed (which
    // announces it with an "add" event). Returns the sysfs path, or empty.
    QString plug(UsbTestbed &testbed);
    void unplug(UsbTestbed &testbed);

    // The first device of `vendorId` that `context` sees, referenced (the
    // caller unrefs it), or null.
    static libusb_device *findOnBus(libusb_context *context, quint16 vendorId = 0x3B5D);
    // A Primora in its bootloader (dfuIDLE, product 0x8001), or in its
    // application (appIDLE, product 0x0001).
    static Config primora(State state = DfuIdle)
    {
        Config config;
        config.product = "Primora";
        config.productId = state == AppIdle ? 0x0001 : 0x8001;
        config.initialState = state;
        return config;
    }

    QByteArray descriptors() const;
    QString devNode() const;

    QVector<Request> requests() const { return lockedCopy(m_requests); }
    QByteArray downloaded() const { return lockedCopy(m_downloaded); }
    State state() const { return locked(m_state); }
    bool detachReceived() const { return locked(m_detach); }
    // Forgets the recorded requests and bytes and returns to dfuIDLE, as
    // after a power cycle of a device that stays in its bootloader.
    void reset();
    // Bytes the device received on its tty.
    QByteArray serialReceived() const { return lockedCopy(m_serialReceived); }
    // How many downloads the device took to their end (a zero-length
    // DFU_DNLOAD after whole blocks, then a status request that finished
    // the manifestation).
    int manifestations() const { return locked(m_manifestations); }
    // DFU_DNLOAD requests so far, with or without data.
    int downloadRequests() const { return locked(m_dnloads); }
    // DFU class requests `request` so far (DETACH 0, DNLOAD 1, ABORT 6, ...);
    // with `withData` 0 or 1, only those without or with data.
    int requestCount(quint8 request, int withData = -1) const;
    // DFU_UPLOAD requests so far.
    int uploadRequests() const;
    // How often the device has come back after a DETACH.
    int reenumerations() const { return locked(m_reenumerations); }
    quint16 productId() const { return locked(m_config.productId); }

    // The device side of one control transfer. Returns false for a STALL;
    // otherwise `in` holds the data for an IN request.
    bool control(quint8 requestType, quint8 request, quint16 value, quint16 index, quint16 length,
                 const QByteArray &out, QByteArray *in);

    // Answers with a fast channel beside each device node, for processes
    // that load the fast USB shim (see FastUsbChannel); off by default.
    static void setFastChannels(bool on);
    // Control transfers answered through fast channels so far.
    int fastTransfers() const;

private:
    // A member as it is now, read under the lock.
    template<typename T>
    T locked(const T &member) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return member;
    }
    // A container handed out whole is a deep copy: one sharing data with
    // the recording would be detached later on the caller's thread,
    // outside the lock.
    template<typename T>
    T lockedCopy(const T &member) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        T copy = member;
        copy.detach();
        return copy;
    }

    // One control transfer from its URB buffer (setup packet, OUT data):
    // the URB's status and actual length, and the IN data.
    // `status` is noAnswer for a transfer the device leaves unanswered.
    void transfer(const QByteArray &setupAndOut, int bufferLength, int *status, int *actual, QByteArray *in);
    static const int noAnswer = 1;
    // The device answers on `node` now (not one it left by re-enumerating).
    bool isLive(const QByteArray &node) const;
    static int onIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *self);
    int handleIoctl(UMockdevIoctlClient *client);
    QByteArray stringDescriptor(quint8 index) const;
    void reenumerate();
    // Off the bus; its node stays attached until unplug() or destruction.
    void leaveBus(UsbTestbed &testbed);
    void scheduleReenumeration();
    void plugTty(UsbTestbed &testbed);
    void unplugTty(UsbTestbed &testbed);
    void readTty();

    Config m_config;
    // A plain mutex: the race detector sees through it, unlike Qt's.
    mutable std::mutex m_mutex;
    State m_state;
    int m_busyLeft = 0;
    int m_uploaded = 0;                      // bytes read back so far by DFU_UPLOAD
    QElapsedTimer m_sinceBlock;              // since the last block was taken (busyMs)
    int m_dnloads = 0;
    int m_manifestations = 0;
    bool m_faulted = false;                  // the fault's step has come
    // How control() wants the transfer it just handled to end, besides a
    // STALL: an I/O error, or no answer at all.
    enum Failure { NoFailure, IoError, NoAnswer };
    Failure m_failure = NoFailure;
    // URBs of a device that went silent, with their client: they complete
    // only when the host gives up on them (USBDEVFS_DISCARDURB).
    QVector<QPair<void *, void *>> m_heldUrbs;
    bool m_gone = false;
    bool m_detach = false;
    QVector<Request> m_requests;
    QByteArray m_downloaded;
    UMockdevIoctlBase *m_handler = nullptr;
    QString m_sysPath;
    // UMockdevIoctlData* awaiting reap, each with the client (one per open
    // of the node, as the kernel keeps URBs per file) that submitted it.
    QVector<QPair<void *, void *>> m_pendingUrbs;
    // The node the device answers on now (empty while unplugged). Nodes it
    // left by re-enumerating keep the handler, which answers ENODEV there,
    // as the kernel does for a handle of a device that is gone: a process
    // that still had one open is not cut off (umockdev would end its
    // connection). unplug() and the destructor let them go.
    QByteArray m_liveNode;
    QVector<QByteArray> m_attachedNodes;
    UsbTestbed *m_testbed = nullptr;
    int m_reenumerations = 0;
    // Lives on the thread that made the device; the bus changes after a
    // DETACH run there, never on umockdev's handler thread.
    QObject m_context;
    QString m_ttySysPath;
    int m_ttyMaster = -1;                    // owned by the testbed
    int m_ttySlave = -1;                     // held open so the master never hangs up
    QObject *m_ttyNotifier = nullptr;
    bool m_reenumerationRequested = false;   // a DETACH awaits its re-enumeration
    bool m_unplugRequested = false;          // it left, and is to be taken off the testbed
    QTimer *m_detachWatch = nullptr;
    QByteArray m_serialReceived;
    std::vector<std::unique_ptr<FastUsbChannel>> m_fastChannels;
};

#endif // EMULATEDDFUDEVICE_H
