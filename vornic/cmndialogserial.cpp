// The serial road of the main window: the maker's devices that show
// themselves as a serial port while their application runs, and the command
// that sends them into their USB bootloader.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "devicetype.h"
#include "serialportinuse.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QListWidget>
#include <QLocalSocket>
#include <QMessageBox>
#include <QSerialPort>

namespace {

const quint16 makerVendorId = 0x3B5D;
const int nudgePause = 200;            // ms

int serialDeviceType(quint16 productId)
{
    switch (productId) {
    case 0x0011:
        return Primora;
    case 0x0012:
    case 0x0013:
        return Socara;
    case 0x0014:
        return Beamora;
    case 0x0015:
        return Dongara;
    default:
        return UnknownDevice;
    }
}

} // namespace

void CMNDialog::listSerialPorts()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.vendorIdentifier() == makerVendorId)
            addSerialPortEntry(port);
    }
}

void CMNDialog::addSerialPortEntry(const QSerialPortInfo &port)
{
    if (port.serialNumber().isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Vornic"), QStringLiteral("Serial number is empty!"),
                             QMessageBox::Ok);
        return;
    }
    QString text = deviceNames.value(serialDeviceType(port.productIdentifier())) + QLatin1String(" S/N: ")
        + port.serialNumber() + QLatin1String(" via ") + port.portName();
    // A port this user may not open is marked, so the reason is in sight
    // before anything is tried.
    if (serialPortForbidden(port.systemLocation()))
        text += QLatin1String(" (no access)");
    addListEntry(text, QVariant::fromValue(port));
}

void CMNDialog::nudgeLocalServer(const QString &entryText)
{
    auto *socket = new QLocalSocket(this);
    socket->abort();
    // The 8 characters after "S/N: " (without it, those from position 4).
    const QString name = entryText.mid(entryText.indexOf(QLatin1String("S/N: ")) + 5, 8);
    qDebug().noquote() << name;
    socket->connectToServer(name, QIODevice::ReadWrite);
    if (socket->error() == QLocalSocket::ServerNotFoundError)
        return;

    // Whoever listens under the device's serial number gets a moment to
    // react to the connection (for example, to let go of the device).
    QElapsedTimer pause;
    pause.start();
    while (pause.elapsed() < nudgePause)
        QCoreApplication::processEvents();
}

void CMNDialog::enterSerialBootloader(const QSerialPortInfo &port)
{
    auto *serial = new QSerialPort(this);
    if (serial->isOpen())
        return;
    serial->setPortName(port.portName());
    pendingSerialNumber = port.serialNumber();
    serial->setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);

    if (serial->open(QIODevice::ReadWrite)) {
        serial->write(QStringLiteral("boot\n").toLocal8Bit());
        serial->waitForBytesWritten(100);
        serial->close();
        return;
    }

    QString text = serial->errorString();
    if (serialPortInUse(text))
        text += QLatin1String(" Serial port is in use!");
    else if (serialPortNotPermitted(text))
        text += QLatin1String(" This user may not open the serial port: add the user to the dialout group and log "
                              "in again, or install Ordane's device access rules.");
    QMessageBox::critical(this, tr("Error"), text, QMessageBox::Ok);
    serial->close();
    // The device was told nothing, so nothing is awaited: no bootloader that
    // turns up later may be taken for it. The update is over.
    pendingSerialNumber.clear();
    btnsOn();
}
