// The USB road of the main window: listing the maker's USB devices and
// running the DFU job on one of them.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "usb/dfuengine.h"
#include "usb/usbversionsuffix.h"

#include <QDebug>
#include <QFile>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QThreadPool>
#include <QtConcurrent>

#include <libusb.h>

namespace {

const quint16 makerVendorId = 0x3B5D;
// Devices of the maker with this class are the COM-port variants, listed
// with the serial ports.
const quint8 communicationsClass = 2;
const int stringBufferSize = 128;
const quint16 bootloaderProductBit = 0x8000;

} // namespace

QString CMNDialog::inaccessibleDeviceText(libusb_device *device)
{
    // The device's folder in sysfs: "<bus>-<port>.<port>...".
    quint8 ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    QString name = QString::number(libusb_get_bus_number(device)) + QLatin1Char('-');
    for (int i = 0; i < depth; ++i)
        name += (i ? QStringLiteral(".") : QString()) + QString::number(ports[i]);
    const auto attribute = [&name](const char *key) {
        QFile file(QStringLiteral("/sys/bus/usb/devices/%1/%2").arg(name, QLatin1String(key)));
        return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
    };
    QString text = attribute("product");
    const QString serial = attribute("serial");
    if (!serial.isEmpty())
        text += QLatin1String(" S/N: ") + serial;
    return text + QLatin1String(" (no access)");
}

void CMNDialog::releaseUsbRowDevices()
{
    for (libusb_device *device : qAsConst(usbRowDevices))
        libusb_unref_device(device);
    usbRowDevices.clear();
}

void CMNDialog::listUsbDevices()
{
    // Rows of the previous listing are gone (the list was cleared), so their
    // device references can go; a fresh context then sees the bus as it is.
    releaseUsbRowDevices();
    ++usbListings;
    if (usbContext)
        libusb_exit(usbContext);
    usbContext = nullptr;
    if (libusb_init(&usbContext) != 0)
        usbContext = nullptr;

    // Without a context libusb would fall back to an uninitialised default
    // one; report it like any other enumeration failure.
    libusb_device **list = nullptr;
    const ssize_t count = usbContext ? libusb_get_device_list(usbContext, &list) : ssize_t(LIBUSB_ERROR_OTHER);
    if (count < 0) {
        qDebug() << "Error enumerating devices\n";
        return;
    }

    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *device = list[i];
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) != 0
            || descriptor.idVendor != makerVendorId
            || descriptor.bDeviceClass == communicationsClass)
            continue;

        traceEdit->appendPlainText(QStringLiteral("Get device with vid = %1, pid = %2!")
                                       .arg(descriptor.idVendor)
                                       .arg(descriptor.idProduct));
        libusb_device_handle *handle = nullptr;
        const int opened = libusb_open(device, &handle);
        if (opened != 0) {
            traceEdit->appendPlainText(QStringLiteral("Unable to access the device with vid = %1, pid = %2!")
                                           .arg(descriptor.idVendor)
                                           .arg(descriptor.idProduct));
            // A device this user may not open is still shown, so that the
            // user learns why it cannot be updated (its strings come from
            // the system, which reads them without opening it).
            if (opened == LIBUSB_ERROR_ACCESS) {
                usbRowDevices.append(libusb_ref_device(device));
                addListEntry(inaccessibleDeviceText(device), QVariant::fromValue(reinterpret_cast<quintptr>(device)));
            }
            continue;
        }

        const auto readString = [handle](quint8 index, QString *text) {
            unsigned char buffer[stringBufferSize] = {};
            const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, stringBufferSize);
            if (length < 0)
                return false;
            *text = QString::fromLatin1(reinterpret_cast<const char *>(buffer));
            return true;
        };

        QString entry;
        bool readable = true;
        if (descriptor.iProduct != 0) {
            QString product;
            readable = readString(descriptor.iProduct, &product);
            entry += product;
            if (entry.contains(QLatin1String("NET")))
                entry.replace(QLatin1String("NET"), QLatin1String("Net"));
            else if (entry.contains(QLatin1String("NE?")))
                entry.replace(QLatin1String("NE?"), QLatin1String("Net"));
        }
        if (readable && descriptor.iSerialNumber != 0) {
            QString serial;
            readable = readString(descriptor.iSerialNumber, &serial);
            entry += QLatin1String(" S/N: ") + serial;
        }
        if (!readable) {
            traceEdit->appendPlainText(QStringLiteral("string descriptor < 0"));
            libusb_close(handle);
            continue;
        }

        QString suffix;
        if (usbVersionSuffix(handle, suffix, descriptor.idProduct) >= 0)
            entry += suffix;

        libusb_close(handle);
        traceEdit->appendPlainText(QStringLiteral("add %1 to list").arg(entry));
        usbRowDevices.append(libusb_ref_device(device));
        addListEntry(entry, QVariant::fromValue(reinterpret_cast<quintptr>(device)));
    }

    for (int row = 0; row < ui->listWidget->count(); ++row)
        qDebug().noquote() << ui->listWidget->item(row)->text();

    // Devices that got no row are released here; row devices keep the
    // reference taken above until the next listing.
    libusb_free_device_list(list, 1);
}

// ---------------------------------------------------------------------------
// The USB update job

DfuEngine CMNDialog::dfuEngine()
{
    return DfuEngine(emitter, { detachIssued, detachedBusNumber, detachedPortNumber, reconnectMode });
}

int CMNDialog::dfuUpdate(libusb_device *device)
{
    return dfuEngine().update(device, jobImagePath);
}

int CMNDialog::dfuDownload(const QString &path, const DfuInterface &dfu, int transferSize)
{
    return dfuEngine().download(path, dfu, transferSize);
}

void CMNDialog::startUsbJob(libusb_device *device)
{
    ui->progressBar->setFormat(QStringLiteral("%p%"));
    ui->progressBar->setValue(ui->progressBar->minimum());
    watchUsbJob(QtConcurrent::run(QThreadPool::globalInstance(), this, &CMNDialog::dfuUpdate, device));
}

void CMNDialog::startUsbUpdate(libusb_device *device, int row)
{
    ui->listWidget->setCurrentRow(row);
    setUpdateControlsEnabled(false);
    reconnectMode = -1;
    // The awaited device is back: nothing is awaited any more.
    pendingSerialNumber.clear();
    reconnectTimer.stop();
    startUsbJob(device);
}

bool CMNDialog::isBootloaderDevice(libusb_device *device)
{
    // The maker's bootloaders carry bit 15 in their product identifier; any
    // DFU 1.1 device in DFU mode shows its DFU interface with protocol 2.
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) == 0 && (descriptor.idProduct & bootloaderProductBit))
        return true;
    DfuInterface dfu;
    dfu.device = device;
    return findFirstDfuInterface(dfu) == 1 && (dfu.flags & DfuInterface::DfuModeFlag);
}
