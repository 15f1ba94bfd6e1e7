// umockdev's GLib headers use "signals" as a name: include them before Qt.
#include <umockdev.h>

#include "emulateddfudevice.h"
#include "fastusbchannel.h"
#include "usbtestbed.h"

#include <QDateTime>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <libusb.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

const int urbSize = sizeof(struct usbdevfs_urb);
const int urbStatusOffset = offsetof(struct usbdevfs_urb, status);
const int urbBufferOffset = offsetof(struct usbdevfs_urb, buffer);
const int urbLengthOffset = offsetof(struct usbdevfs_urb, buffer_length);
const int urbActualOffset = offsetof(struct usbdevfs_urb, actual_length);

void appendWord(QByteArray &bytes, quint16 value)
{
    bytes.append(static_cast<char>(value & 0xFF));
    bytes.append(static_cast<char>(value >> 8));
}

int readInt(const UMockdevIoctlData *data, int offset)
{
    int value = 0;
    std::memcpy(&value, data->data + offset, sizeof value);
    return value;
}

void writeInt(UMockdevIoctlData *data, int offset, int value)
{
    umockdev_ioctl_data_update(data, offset, reinterpret_cast<guint8 *>(&value), sizeof value);
}

// The ioctl argument holds the address of the structure it works on.
UMockdevIoctlData *structure(UMockdevIoctlData *arg, int size)
{
    return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
}

std::atomic<bool> fastChannelsOn { false };

} // namespace

void EmulatedDfuDevice::setFastChannels(bool on)
{
    fastChannelsOn = on;
}

int EmulatedDfuDevice::fastTransfers() const
{
    int count = 0;
    for (const auto &channel : m_fastChannels)
        count += channel->transfers();
    return count;
}

EmulatedDfuDevice::EmulatedDfuDevice(const Config &config)
    : m_config(config)
    , m_state(config.initialState)
    , m_downloaded(config.holds)
{
}

EmulatedDfuDevice::~EmulatedDfuDevice()
{
    // Their threads answer with this device: stopped first.
    m_fastChannels.clear();
    if (m_ttySlave >= 0)
        ::close(m_ttySlave);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &pending : qAsConst(m_pendingUrbs) + qAsConst(m_heldUrbs))
            g_object_unref(pending.second);
        m_pendingUrbs.clear();
        m_heldUrbs.clear();
    }
    if (m_handler) {
        g_signal_handlers_disconnect_by_data(m_handler, this);
        // Nodes it left by re-enumerating, and was never unplugged from
        // (the testbed outlives the devices on it).
        if (m_testbed) {
            for (const QByteArray &node : qAsConst(m_attachedNodes))
                umockdev_testbed_detach_ioctl(m_testbed->handle(), node.constData(), nullptr);
        }
        g_object_unref(m_handler);
    }
}

libusb_device *EmulatedDfuDevice::findOnBus(libusb_context *context, quint16 vendorId)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < count && !found; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 && descriptor.idVendor == vendorId)
            found = libusb_ref_device(list[i]);
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

QString EmulatedDfuDevice::devNode() const
{
    return QStringLiteral("/dev/bus/usb/001/%1").arg(m_config.deviceNumber, 3, 10, QLatin1Char('0'));
}

QByteArray EmulatedDfuDevice::descriptors() const
{
    QByteArray device;
    device.append(char(18)).append(char(1));
    appendWord(device, 0x0200);
    device.append(char(m_config.deviceClass)).append(char(0)).append(char(0)).append(char(64));
    appendWord(device, m_config.vendorId);
    appendWord(device, m_config.productId);
    appendWord(device, 0x0100);
    device.append(char(1));
    device.append(char(m_config.product.isEmpty() ? 0 : 2));
    device.append(char(m_config.serial.isEmpty() ? 0 : 3));
    device.append(char(1));

    const bool dfuMode = m_config.initialState >= DfuIdle;
    QByteArray interface;
    if (m_config.interfaceNumber > 0) {
        // vendor-specific interface 0 without endpoints
        interface.append(char(9)).append(char(4)).append(char(0)).append(char(0)).append(char(0));
        interface.append(char(0xFF)).append(char(0)).append(char(0)).append(char(0));
    }
    interface.append(char(9)).append(char(4)).append(char(m_config.interfaceNumber)).append(char(0));
    interface.append(char(0)).append(char(0xFE)).append(char(0x01)).append(char(dfuMode ? 2 : 1)).append(char(0));
    QByteArray functional;
    if (m_config.hasFunctionalDescriptor) {
        // can download, manifestation tolerant, detaches by itself; can
        // upload when asked to
        functional.append(char(9)).append(char(0x21)).append(char(m_config.attributes | (m_config.canUpload ? 0x02 : 0)));
        appendWord(functional, 1000);
        appendWord(functional, m_config.transferSize);
        appendWord(functional, 0x0110);
    }
    QByteArray configuration;
    configuration.append(char(9)).append(char(2));
    appendWord(configuration, quint16(9 + interface.size() + functional.size()));
    configuration.append(char(m_config.interfaceNumber > 0 ? 2 : 1)).append(char(m_config.configurationValue));
    configuration.append(char(0)).append(char(0x80)).append(char(50));
    return device + configuration + interface + functional;
}

QByteArray EmulatedDfuDevice::stringDescriptor(quint8 index) const
{
    QByteArray text;
    if (index == 0) {
        QByteArray languages;
        languages.append(char(4)).append(char(3));
        appendWord(languages, 0x0409);
        return languages;
    }
    if (index == 1)
        text = m_config.manufacturer;
    else if (index == 2 && !m_config.product.isEmpty())
        text = m_config.product;
    else if (index == 3 && !m_config.serial.isEmpty())
        text = m_config.serial;
    else
        return QByteArray();
    // The texts are Latin-1; a character above 0x7F reaches libusb as a
    // non-ASCII code unit.
    QByteArray descriptor;
    descriptor.append(char(2 + 2 * text.size())).append(char(3));
    for (const char c : text)
        appendWord(descriptor, static_cast<quint8>(c));
    return descriptor;
}

bool EmulatedDfuDevice::control(quint8 requestType, quint8 request, quint16 value, quint16 index,
                                quint16 length, const QByteArray &out, QByteArray *in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.append({ requestType, request, value, index, length, out, QDateTime::currentMSecsSinceEpoch() });
    in->clear();
    m_failure = NoFailure;
    if (m_gone)
        return false;
    if (m_faulted && m_config.fault == GoesSilent) {
        // Silent as it restarts: into the image when it had the whole of it.
        if (m_state == DfuManifestSync) {
            ++m_manifestations;
            m_state = DfuManifestWaitReset;
        }
        m_failure = NoAnswer;
        return false;
    }

    if (requestType == 0x80 && request == 6) {            // GET_DESCRIPTOR
        const quint8 type = value >> 8;
        QByteArray descriptor;
        if (type == 3)
            descriptor = stringDescriptor(value & 0xFF);
        else if (type == 1)
            descriptor = descriptors().left(18);
        else if (type == 2)
            descriptor = descriptors().mid(18);
        if (descriptor.isEmpty())
            return false;
        *in = descriptor.left(length);
        return true;
    }
    if (requestType == 0xC0 && request == 0x80) {         // version request
        if (m_config.versionReply.isEmpty())
            return false;
        *in = m_config.versionReply.left(length);
        return true;
    }
    if ((requestType & 0x60) == 0x00 && !(requestType & 0x80))
        return true;                                       // other standard OUT requests
    if (index != m_config.interfaceNumber)
        return false;                                      // not the DFU interface

    switch (request) {
    case 0:                                                // DFU_DETACH
        if (requestType != 0x21 || (m_state != AppIdle && m_state != AppDetach))
            return false;
        m_detach = true;
        m_state = AppDetach;
        // Taken up on the device's own thread by the watch started in plug().
        m_reenumerationRequested = true;
        return true;
    case 1:                                                // DFU_DNLOAD
        if (requestType != 0x21)
            return false;
        if (++m_dnloads == m_config.faultAtDownload && m_config.fault != NoFault) {
            m_faulted = true;
            if (m_config.fault == Stalls) {
                m_state = DfuError;
                return false;
            }
            if (m_config.fault == LeavesAfter || m_config.fault == ResetsInStatus) {
                // Taken, and the device restarts before the next request (or
                // before the request's own status stage, which then fails).
                m_gone = true;
                m_unplugRequested = m_config.unplugWhenLeaving;
                if (length == 0 && m_state == DfuDnloadIdle)
                    ++m_manifestations;
                else if (length > 0 && m_state == DfuDnloadIdle)
                    m_downloaded.append(out);
                m_failure = m_config.fault == ResetsInStatus ? IoError : NoFailure;
                return m_config.fault == LeavesAfter;
            }
            if (m_config.fault == Leaves) {
                // At the end of the image: it restarts into the image it
                // has, without answering the request.
                if (length == 0 && m_state == DfuDnloadIdle)
                    ++m_manifestations;
                m_gone = true;
                // Taken up on the device's own thread by the watch started
                // in plug().
                m_unplugRequested = m_config.unplugWhenLeaving;
                return false;
            }
        }
        if (length > 0 && (m_state == DfuIdle || m_state == DfuDnloadIdle)) {
            // A download that starts from dfuIDLE replaces what the device
            // held, as its flash would.
            if (m_state == DfuIdle)
                m_downloaded.clear();
            m_downloaded.append(out);
            m_busyLeft = m_config.busyPolls;
            m_sinceBlock.start();
            m_state = (m_config.errorOnBlock == value) ? DfuError : DfuDnloadSync;
            if (m_state == DfuError)
                m_busyLeft = 0;
            return true;
        }
        if (length == 0 && m_state == DfuDnloadIdle) {
            m_state = DfuManifestSync;
            m_sinceBlock.start();
            return true;
        }
        m_state = DfuError;
        return false;
    case 3: {                                              // DFU_GETSTATUS
        if (requestType != 0xA1)
            return false;
        if (m_config.stallStatus)
            return false;
        if (m_faulted && m_config.fault == ShortStatus) {
            *in = QByteArray(5, '\0');
            return true;
        }
        if (m_faulted && m_config.fault == StatusIoError) {
            // It restarts: into the image when it had the whole of it.
            if (m_state == DfuManifestSync)
                ++m_manifestations;
            m_gone = true;
            m_unplugRequested = m_config.unplugWhenLeaving;
            m_failure = IoError;
            return false;
        }
        State reported = m_state;
        quint8 statusCode = 0;
        if (m_faulted && m_config.fault == Refuses) {
            statusCode = m_state == DfuManifestSync ? 0x07 : 0x03;   // errVERIFY, errWRITE
            m_state = reported = DfuError;
        } else if (m_faulted && m_config.fault == WrongState) {
            reported = AppIdle;
        } else if (m_state == DfuDnloadSync) {
            if (m_config.busyForever || m_busyLeft > 0 || m_sinceBlock.elapsed() < m_config.busyMs) {
                if (m_busyLeft > 0)
                    --m_busyLeft;
                reported = DfuDnbusy;
            } else {
                m_state = reported = DfuDnloadIdle;
            }
        } else if (m_state == DfuManifestSync && m_sinceBlock.elapsed() < m_config.manifestMs) {
            reported = DfuManifest;
        } else if (m_state == DfuManifestSync) {
            m_state = reported = DfuIdle;
            ++m_manifestations;
        }
        if (reported == DfuError && !statusCode)
            statusCode = 0x03;                             // errWRITE
        QByteArray status;
        status.append(char(statusCode));
        status.append(char(m_config.pollTimeout & 0xFF)).append(char((m_config.pollTimeout >> 8) & 0xFF));
        status.append(char((m_config.pollTimeout >> 16) & 0xFF));  // bwPollTimeout
        status.append(char(reported));
        status.append(char(0));
        *in = status.left(m_config.shortStatusReply ? 5 : length);
        return true;
    }
    case 4:                                                // DFU_CLRSTATUS
        if (m_state != DfuError)
            return false;
        m_state = DfuIdle;
        return true;
    case 2: {                                              // DFU_UPLOAD
        if (requestType != 0xA1 || !m_config.canUpload || (m_state != DfuIdle && m_state != DfuUploadIdle))
            return false;
        if (m_state == DfuIdle)
            m_uploaded = 0;
        QByteArray piece = m_downloaded.mid(m_uploaded, length);
        const int corrupt = m_config.corruptUploadAt - m_uploaded;
        if (corrupt >= 0 && corrupt < piece.size())
            piece[corrupt] = char(piece.at(corrupt) ^ 0x5A);
        m_uploaded += piece.size();
        // A short block ends the upload.
        m_state = piece.size() < length ? DfuIdle : DfuUploadIdle;
        *in = piece;
        return true;
    }
    case 5:                                                // DFU_GETSTATE
        *in = QByteArray(1, char(m_state)).left(length);
        return true;
    case 6:                                                // DFU_ABORT
        // Not in dfuERROR: DFU 1.1 leaves that state by DFU_CLRSTATUS only.
        if (m_state < DfuIdle || m_state == DfuError)
            return false;
        m_state = DfuIdle;
        return true;
    default:
        return false;
    }
}

void EmulatedDfuDevice::transfer(const QByteArray &setupAndOut, int bufferLength, int *status, int *actual,
                                 QByteArray *in)
{
    const auto *setup = reinterpret_cast<const quint8 *>(setupAndOut.constData());
    const quint8 requestType = setup[0];
    const quint8 bRequest = setup[1];
    const quint16 value = quint16(setup[2] | (setup[3] << 8));
    const quint16 index = quint16(setup[4] | (setup[5] << 8));
    const quint16 length = quint16(setup[6] | (setup[7] << 8));
    const bool deviceToHost = requestType & 0x80;
    QByteArray out;
    if (!deviceToHost)
        out = setupAndOut.mid(8, qMin<int>(length, bufferLength - 8));

    const bool ok = control(requestType, bRequest, value, index, length, out, in);
    *actual = 0;
    if (ok && deviceToHost) {
        *in = in->left(bufferLength - 8);
        *actual = in->size();
    } else {
        in->clear();
        if (ok) {
            *actual = out.size();
            const bool block = requestType == 0x21 && bRequest == 1 && length > 0;
            if (block && value == m_config.shortBlock)
                *actual /= 2;
            if (block && m_config.onBlock)
                m_config.onBlock(value);
        }
    }
    bool gone = false;
    Failure failure = NoFailure;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        gone = m_gone;
        failure = m_failure;
    }
    // A device that left the bus fails every transfer as the kernel fails
    // them then, one that reset in the middle of one with a protocol error;
    // any other refusal is a STALL.
    if (failure == NoAnswer)
        *status = noAnswer;
    else if (failure == IoError)
        *status = -EPROTO;
    else
        *status = ok ? 0 : gone ? -ENODEV : -EPIPE;
}

bool EmulatedDfuDevice::isLive(const QByteArray &node) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_liveNode == node;
}

int EmulatedDfuDevice::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    return static_cast<EmulatedDfuDevice *>(self)->handleIoctl(client);
}

int EmulatedDfuDevice::handleIoctl(UMockdevIoctlClient *client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const bool stale = !isLive(umockdev_ioctl_client_get_devnode(client));
    // A node the device has left: URBs submitted before are still reaped
    // (the kernel hands them back too); everything else fails with ENODEV.
    if (stale && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = structure(arg, 4);
        writeInt(caps, 0, 0);
        umockdev_ioctl_data_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData *urb = structure(arg, urbSize);
        const int bufferLength = readInt(urb, urbLengthOffset);
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(urb, urbBufferOffset, bufferLength, nullptr);
        if (!buffer || bufferLength < 8) {
            if (buffer)
                umockdev_ioctl_data_unref(buffer);
            umockdev_ioctl_data_unref(urb);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        const QByteArray setupAndOut(reinterpret_cast<const char *>(buffer->data), bufferLength);
        int status = 0;
        int actual = 0;
        QByteArray in;
        transfer(setupAndOut, bufferLength, &status, &actual, &in);
        if (!in.isEmpty())
            umockdev_ioctl_data_update(buffer, 8, reinterpret_cast<guint8 *>(in.data()), in.size());
        writeInt(urb, urbStatusOffset, status == noAnswer ? 0 : status);
        writeInt(urb, urbActualOffset, actual);
        umockdev_ioctl_data_unref(buffer);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            (status == noAnswer ? m_heldUrbs : m_pendingUrbs)
                .append(qMakePair(static_cast<void *>(client), static_cast<void *>(urb)));
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        UMockdevIoctlData *urb = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int i = 0; i < m_pendingUrbs.size() && !urb; ++i) {
                if (m_pendingUrbs.at(i).first == client)
                    urb = static_cast<UMockdevIoctlData *>(m_pendingUrbs.takeAt(i).second);
            }
        }
        if (!urb) {
            umockdev_ioctl_client_complete(client, -1, stale ? ENODEV : EAGAIN);
            return TRUE;
        }
        UMockdevIoctlData *slot = structure(arg, sizeof(void *));
        umockdev_ioctl_data_set_ptr(slot, 0, urb);
        umockdev_ioctl_data_unref(slot);
        umockdev_ioctl_data_unref(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        // Only an unanswered URB is still in flight; it comes back
        // cancelled, as the kernel returns a URB the host gave up on.
        UMockdevIoctlData *urb = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int i = 0; i < m_heldUrbs.size() && !urb; ++i) {
                if (m_heldUrbs.at(i).first == client) {
                    urb = static_cast<UMockdevIoctlData *>(m_heldUrbs.at(i).second);
                    m_pendingUrbs.append(m_heldUrbs.takeAt(i));
                }
            }
            if (urb) {
                writeInt(urb, urbStatusOffset, -ENOENT);
                writeInt(urb, urbActualOffset, 0);
            }
        }
        umockdev_ioctl_client_complete(client, urb ? 0 : -1, urb ? 0 : EINVAL);
        return TRUE;
    }
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

QString EmulatedDfuDevice::plug(UsbTestbed &testbed)
{
    if (!testbed.isValid())
        return QString();
    if (!m_handler) {
        m_handler = static_cast<UMockdevIoctlBase *>(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(&EmulatedDfuDevice::onIoctl), this);
    }
    const QByteArray node = devNode().toLatin1();
    if (!m_attachedNodes.contains(node)) {
        if (!umockdev_testbed_attach_ioctl(testbed.handle(), node.constData(), m_handler, nullptr))
            return QString();
        m_attachedNodes.append(node);
        if (fastChannelsOn) {
            m_fastChannels.emplace_back(new FastUsbChannel(
                FastUsbChannel::pathFor(testbed.rootDir(), devNode()),
                [this, node](const QByteArray &request, int bufferLength) {
                    FastUsbChannel::Reply reply;
                    // As on umockdev's road: a node the device left fails.
                    if (!isLive(node))
                        reply.result = ENODEV;
                    else if (request.size() < 8 || bufferLength < 8)
                        reply.result = EINVAL;
                    else
                        transfer(request, bufferLength, &reply.status, &reply.actualLength, &reply.in);
                    if (reply.status == noAnswer)
                        reply.status = -ETIMEDOUT;
                    return reply;
                }));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_liveNode = node;
    }

    UsbTestbed::Device device;
    device.port = m_config.port;
    device.deviceNumber = m_config.deviceNumber;
    device.vendorId = m_config.vendorId;
    device.productId = m_config.productId;
    device.serial = m_config.serial;
    QByteArray description = UsbTestbed::describe(device);
    description += "A: speed=480\n";
    // umockdev reads the description as UTF-8: a product name with other
    // bytes (the listing tests use one) goes without its sysfs attribute.
    const bool plainProduct = std::all_of(m_config.product.cbegin(), m_config.product.cend(),
                                          [](char c) { return quint8(c) < 0x80; });
    if (!m_config.product.isEmpty() && plainProduct)
        description += "A: product=" + m_config.product + "\n";
    description += "A: bConfigurationValue=" + QByteArray::number(m_config.configurationValue) + "\n";
    description += "A: bDeviceClass=" + QByteArray::number(m_config.deviceClass, 16).rightJustified(2, '0') + "\n";
    description += "H: descriptors=" + descriptors().toHex() + "\n";
    m_testbed = &testbed;
    m_sysPath = testbed.addDescription(description);
    // The handler thread only raises a flag under the mutex; a queued call
    // from there would hand its data over under Qt's event-queue lock, which
    // the race detector cannot see.
    if (!m_detachWatch) {
        m_detachWatch = new QTimer(&m_context);
        QObject::connect(m_detachWatch, &QTimer::timeout, &m_context, [this] {
            bool requested = false;
            bool unplugNow = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                std::swap(requested, m_reenumerationRequested);
                std::swap(unplugNow, m_unplugRequested);
            }
            if (unplugNow && m_testbed)
                unplug(*m_testbed);
            else if (requested)
                scheduleReenumeration();
        });
        m_detachWatch->start(5);
    }
    if (!m_sysPath.isEmpty() && !m_config.ttyName.isEmpty()) {
        if (m_config.ttyDelay > 0)
            QTimer::singleShot(m_config.ttyDelay, &m_context, [this, &testbed] { plugTty(testbed); });
        else
            plugTty(testbed);
    }
    return m_sysPath;
}

void EmulatedDfuDevice::plugTty(UsbTestbed &testbed)
{
    const auto hex = [](quint16 value) { return QByteArray::number(value, 16).rightJustified(4, '0'); };
    QByteArray description;
    description += "P: /devices/pci0000:00/0000:00:14.0/usb1/" + m_config.port + "/" + m_config.port + ":1.0/tty/"
        + m_config.ttyName + "\n";
    description += "N: " + m_config.ttyName + "\n";
    description += "E: SUBSYSTEM=tty\n";
    description += "E: DEVNAME=/dev/" + m_config.ttyName + "\n";
    description += "E: ID_VENDOR_ID=" + hex(m_config.vendorId) + "\n";
    description += "E: ID_MODEL_ID=" + hex(m_config.productId) + "\n";
    description += "E: ID_VENDOR=" + m_config.manufacturer + "\n";
    if (!m_config.product.isEmpty())
        description += "E: ID_MODEL=" + m_config.product + "\n";
    if (!m_config.serial.isEmpty())
        description += "E: ID_SERIAL_SHORT=" + m_config.serial + "\n";
    m_ttySysPath = testbed.addDescription(description);
    if (m_ttySysPath.isEmpty())
        return;

    // umockdev backs a tty node with a pseudo-terminal and keeps its master.
    const QByteArray node = "/dev/" + m_config.ttyName;
    m_ttyMaster = umockdev_testbed_get_dev_fd(testbed.handle(), node.constData());
    char slave[64] = {};
    if (m_ttyMaster < 0 || ptsname_r(m_ttyMaster, slave, sizeof slave) != 0)
        return;
    m_ttySlave = ::open(slave, O_RDWR | O_NOCTTY);
    auto *notifier = new QSocketNotifier(m_ttyMaster, QSocketNotifier::Read, &m_context);
    QObject::connect(notifier, &QSocketNotifier::activated, &m_context, [this] { readTty(); });
    m_ttyNotifier = notifier;
}

void EmulatedDfuDevice::readTty()
{
    char buffer[256];
    const ssize_t count = ::read(m_ttyMaster, buffer, sizeof buffer);
    if (count <= 0)
        return;
    bool boot = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_serialReceived.append(buffer, int(count));
        boot = m_serialReceived.endsWith("boot\n");
    }
    if (boot)
        scheduleReenumeration();
}

void EmulatedDfuDevice::unplugTty(UsbTestbed &testbed)
{
    delete m_ttyNotifier;
    m_ttyNotifier = nullptr;
    if (m_ttySlave >= 0)
        ::close(m_ttySlave);
    m_ttySlave = -1;
    m_ttyMaster = -1;
    if (!m_ttySysPath.isEmpty())
        testbed.remove(m_ttySysPath);
    m_ttySysPath.clear();
}

void EmulatedDfuDevice::unplug(UsbTestbed &testbed)
{
    leaveBus(testbed);
    // Unplugged for good: its nodes are free for other devices.
    for (const QByteArray &node : qAsConst(m_attachedNodes))
        umockdev_testbed_detach_ioctl(testbed.handle(), node.constData(), nullptr);
    m_attachedNodes.clear();
}

void EmulatedDfuDevice::leaveBus(UsbTestbed &testbed)
{
    if (m_sysPath.isEmpty())
        return;
    unplugTty(testbed);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_liveNode.clear();
    }
    testbed.remove(m_sysPath);
    m_sysPath.clear();
}

void EmulatedDfuDevice::scheduleReenumeration()
{
    if (m_config.detachDelay >= 0)
        QTimer::singleShot(m_config.detachDelay, &m_context, [this] { reenumerate(); });
}

void EmulatedDfuDevice::reenumerate()
{
    if (!m_testbed || m_sysPath.isEmpty())
        return;
    // The node it leaves stays attached (answering ENODEV) for processes
    // that still hold it open, as the kernel keeps their handles.
    leaveBus(*m_testbed);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_config.ttyName.clear();
        m_config.deviceClass = 0;
        m_config.productId |= 0x8000;
        m_config.initialState = DfuIdle;
        m_config.deviceNumber += 1;
        m_state = DfuIdle;
        m_busyLeft = 0;
    }
    // Off the bus for a moment, as a real device is while its bootloader
    // starts: the host sees the removal before the arrival.
    QTimer::singleShot(50, &m_context, [this] {
        plug(*m_testbed);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_reenumerations;
    });
}

void EmulatedDfuDevice::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_downloaded.clear();
    m_busyLeft = 0;
    m_state = DfuIdle;
}

int EmulatedDfuDevice::requestCount(quint8 request, int withData) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_requests.begin(), m_requests.end(), [&](const Request &r) {
        return (r.requestType & 0x60) == 0x20 && r.request == request
            && (withData < 0 || (r.length > 0) == (withData > 0));
    }));
}

int EmulatedDfuDevice::uploadRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_requests.begin(), m_requests.end(),
                             [](const Request &r) { return r.requestType == 0xA1 && r.request == 2; }));
}

