// The serial road of the main window: the maker's devices that show
// themselves as a serial port while their application runs, and the command
// that sends them into their USB bootloader.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "localservernudge.h"
#include "serialbootrequest.h"

#include "plaintextbox.h"

#include <QDebug>
#include <QListWidget>
#include <QMessageBox>

void CMNDialog::listSerialPorts()
{
    const QList<QSerialPortInfo> ports = DeviceInventory::makerSerialPorts();
    for (const QSerialPortInfo &port : ports)
        addSerialPortEntry(port);
}

void CMNDialog::addSerialPortEntry(const QSerialPortInfo &port)
{
    if (port.serialNumber().isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Vornic"), QStringLiteral("Serial number is empty!"),
                             QMessageBox::Ok);
        return;
    }
    addListEntry(DeviceInventory::serialDevice(port).text, QVariant::fromValue(port));
}

void CMNDialog::nudgeLocalServer(const QString &entryText)
{
    LocalServerNudge::nudge(entryText, this);
}

void CMNDialog::enterSerialBootloader(const QSerialPortInfo &port)
{
    // Taken before the device is told anything: a bootloader already on the
    // bus then is not the one that comes back.
    updateOwner->prepareSerialReturn();
    QString text;
    const int request = SerialBootRequest::send(port.portName(), &text);
    const bool sent = request == SerialBootRequest::Sent;
    // The second phase starts when the device arrives in its bootloader.
    updateOwner->serialBootSent(port.serialNumber(), sent);
    if (updateOwner->awaitingReturn())
        awaitReconnection();
    if (sent)
        return;

    recordOutcome(UpdateOutcome(request == SerialBootRequest::PortBusy || request == SerialBootRequest::NoAccess
                                    ? UpdateOutcome::NoAccess
                                    : UpdateOutcome::Failed,
                                text));
    PlainTextBox::critical(this, tr("Error"), text);
    // The device was told nothing, so nothing is awaited: no bootloader that
    // turns up later may be taken for it. The update is over.
    btnsOn();
}
