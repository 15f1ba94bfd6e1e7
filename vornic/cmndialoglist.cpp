// The window's device list: its rows (USB, serial, network), the checks of
// a network row, and what an arriving device means for the update awaited.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "listrow.h"

#include "devicecatalog.h"
#include "network/sendcommandtask.h"
#include "network/statuswordcounter.h"
#include "plaintextbox.h"

#include <QAction>
#include <QDebug>
#include <QListWidgetItem>
#include <QMessageBox>

void CMNDialog::addListEntry(const QString &text, const QVariant &data)
{
    auto *row = new QListWidgetItem(text);
    row->setData(Qt::UserRole, data);
    row->setText(text);
    ui->listWidget->insertItem(ui->listWidget->count(), row);
    ui->listWidget->setCurrentItem(row);
}

void CMNDialog::addNetworkEntry(NetworkDevice *device)
{
    const QString text = DeviceCatalog::networkRowText(device->type(), device->serialNumber(), device->ip());
    addListEntry(text, QVariant::fromValue(static_cast<void *>(device)));
}

void CMNDialog::addNetworkEntries()
{
    for (NetworkDevice *device : qAsConst(networkDevices))
        addNetworkEntry(device);
}

int CMNDialog::enumDevices()
{
    // Neither a USB job nor a network upload may lose its row under it.
    if (updateOwner->usbJobRunning() || updateOwner->phase() == TwoPhaseUpdate::Writing || stationBusy()) {
        qDebug() << "blocked";
        return 0;
    }

    // "Refresh List" asks every network device again; any other refresh
    // (start-up, hot-plug, after an update) rebuilds their rows from the
    // records.
    const auto *action = qobject_cast<QAction *>(sender());
    // While a device is being checked (for the add dialog) its report must
    // meet it: the other devices are not asked meanwhile.
    const bool requery = action && action->text().contains(QLatin1String("Refresh List")) && !pendingDevice;

    ui->listWidget->clear();
    listUsbDevices();
    listSerialPorts();
    if (requery)
        checkConnection();
    else
        addNetworkEntries();

    if (ui->listWidget->count() > 0)
        ui->listWidget->setCurrentRow(0);
    updateUpdateButton();
    return 0;
}

void CMNDialog::checkConnection()
{
    const QVector<NetworkDevice *> known = networkDevices;
    networkDevices.clear();
    for (NetworkDevice *device : known) {
        pendingDevice = device;
        queryNetworkDevice(device);
        // addNetworkDeviceToList ends the wait with this device's answer.
        eventLoop.exec();
    }
}

void CMNDialog::deleteFromWidget()
{
    // The device of an update in progress stays, row and record.
    if (updateInProgress()) {
        qDebug() << "update in progress: nothing is deleted";
        return;
    }
    QListWidgetItem *current = ui->listWidget->currentItem();
    NetworkDevice *device = ListRow::networkDevice(current);

    if (device) {
        const QString ip = device->ip();
        QVector<NetworkDevice *> removed;
        const QVector<NetworkDevice *> known = networkDevices;
        for (NetworkDevice *candidate : known) {
            if (candidate->ip() != ip)
                continue;
            networkDevices.removeOne(candidate);
            if (candidate == pendingDevice)
                pendingDevice = nullptr;
            removed.append(candidate);
        }
        // Other rows of the removed records would point at deleted objects;
        // take them out together with the current row.
        for (int row = ui->listWidget->count() - 1; row >= 0; --row) {
            QListWidgetItem *item = ui->listWidget->item(row);
            if (item != current && removed.contains(ListRow::networkDevice(item)))
                delete ui->listWidget->takeItem(row);
        }
        qDeleteAll(removed);
    }

    if (current)
        delete ui->listWidget->takeItem(ui->listWidget->row(current));
}

void CMNDialog::selectUSBDevice(QListWidgetItem *item)
{
    if (item && item->listWidget())
        item->setSelected(true);
    updateUpdateButton();
}

void CMNDialog::deviceConnected()
{
    enumDevices();
    if (!updateOwner->returnPending())
        return;
    // While a job runs the list was not refreshed: its rows may name devices
    // that have left the bus, and a second job must not start beside it. The
    // end of the job looks again.
    if (updateOwner->usbJobRunning()) {
        qDebug() << "reconnection deferred: a USB job is running";
        return;
    }

    // Only the device that was told to restart is written; it stays
    // awaited until it is there.
    const TwoPhaseUpdate::Arrival arrival = updateOwner->arrived(inventory.usb());
    if (arrival.action == TwoPhaseUpdate::Arrival::Abandoned) {
        abandonReconnection(arrival.outcome);
        return;
    }
    if (arrival.action != TwoPhaseUpdate::Arrival::Write)
        return;
    libusb_device *device = inventory.usb().at(arrival.index).device;
    for (int row = 0; row < ui->listWidget->count(); ++row) {
        if (ListRow::usbDevice(ui->listWidget->item(row)) == device) {
            startUsbUpdate(device, row);
            return;
        }
    }
}

void CMNDialog::checkConnectionTaskFinished(QByteArray reply)
{
    const QString text = StatusWordCounter::hasOkWord(reply) ? QStringLiteral("Device connected")
                                              : QStringLiteral("Device disconnected");
    PlainTextBox::warning(nullptr, QStringLiteral("Vornic"), text);
}

bool CMNDialog::isNetworkDevice() const
{
    return currentNetworkDevice() != nullptr;
}

NetworkDevice *CMNDialog::currentNetworkDevice() const
{
    return ListRow::networkDevice(ui->listWidget->currentItem());
}

void CMNDialog::checkDeviceList()
{
    const bool rowSelected = ui->listWidget->currentRow() != -1;
    const bool enabled = rowSelected && !updateInProgress();
    ui->loadImg->setEnabled(enabled);
    ui->updBtn->setEnabled(enabled);
}

void CMNDialog::updateUpdateButton()
{
    if (ui->listWidget->currentRow() == -1 || updateInProgress())
        ui->updBtn->setEnabled(false);
    else
        ui->updBtn->setEnabled(!ui->lineEdit->text().isEmpty());
}
