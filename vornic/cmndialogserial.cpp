// The serial road of the main window: the maker's devices that show
// themselves as a serial port while their application runs, and the command
// that sends them into their USB bootloader.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "devicecatalog.h"
#include "localservernudge.h"
#include "serialbootrequest.h"
#include "serialportinuse.h"

#include <QDebug>
#include <QListWidget>
#include <QMessageBox>

void CMNDialog::listSerialPorts()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.vendorIdentifier() == DeviceCatalog::makerVendorId)
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
    QString text = DeviceCatalog::serialRowText(port);
    // A port this user may not open is marked, so the reason is in sight
    // before anything is tried.
    if (serialPortForbidden(port.systemLocation()))
        text += QLatin1String(" (no access)");
    addListEntry(text, QVariant::fromValue(port));
}

void CMNDialog::nudgeLocalServer(const QString &entryText)
{
    LocalServerNudge::nudge(entryText, this);
}

void CMNDialog::enterSerialBootloader(const QSerialPortInfo &port)
{
    pendingSerialNumber = port.serialNumber();
    QString text;
    if (SerialBootRequest::send(port.portName(), &text) == SerialBootRequest::Sent)
        return;

    QMessageBox::critical(this, tr("Error"), text, QMessageBox::Ok);
    // The device was told nothing, so nothing is awaited: no bootloader that
    // turns up later may be taken for it. The update is over.
    pendingSerialNumber.clear();
    btnsOn();
}
