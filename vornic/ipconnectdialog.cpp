#include "ipconnectdialog.h"

#include "ipwidget.h"
#include "network/networkaddress.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QHostAddress>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const int defaultPort = 10102;

QFont dialogFont()
{
    return QFont(QStringLiteral("Tahoma"), 9);
}

QLabel *rowLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(dialogFont());
    label->setProperty("networkLabels", true);
    label->setAlignment(Qt::AlignVCenter);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    label->setMaximumSize(150, 24);
    return label;
}

} // namespace

IPConnectDialog::IPConnectDialog(QWidget *parent)
    : QDialog(parent)
    , ipWidget(new IPWidget(this))
    , portEdit(new QLineEdit(QStringLiteral("%1").arg(defaultPort), this))
    , addButton(new QPushButton(QStringLiteral("Add Device"), this))
    , cancelButton(new QPushButton(QStringLiteral("Cancel"), this))
{
    auto *addressRow = new QHBoxLayout;
    addressRow->addStretch();
    addressRow->addWidget(rowLabel(QStringLiteral("IPv4 Address:"), this));
    addressRow->addWidget(ipWidget);

    portEdit->setProperty("greyFrame", true);
    portEdit->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    portEdit->setFixedSize(150, 26);
    portEdit->setFont(dialogFont());
    auto *portRow = new QHBoxLayout;
    portRow->addStretch();
    portRow->addWidget(rowLabel(QStringLiteral("Port:"), this));
    portRow->addWidget(portEdit);

    addButton->setDefault(true);
    addButton->setFont(dialogFont());
    cancelButton->setFont(dialogFont());
    auto *buttonRow = new QHBoxLayout;
    buttonRow->addWidget(addButton);
    buttonRow->addStretch();
    buttonRow->addWidget(cancelButton);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(addressRow);
    layout->addLayout(portRow);
    layout->addStretch();
    layout->addLayout(buttonRow);

    connect(addButton, &QAbstractButton::clicked, this, &IPConnectDialog::connectButtonPressed);
    connect(cancelButton, &QAbstractButton::clicked, this, &QDialog::reject);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
}

IPConnectDialog::~IPConnectDialog()
{
    // The wait cursor of "Add Device" lasts until the check is over and the
    // dialog is gone.
    if (!addButton->isEnabled())
        QGuiApplication::restoreOverrideCursor();
}

void IPConnectDialog::setAddress(const QString &ip, int port)
{
    portEdit->setText(QStringLiteral("%1").arg(port));
    ipWidget->setIpAddress(ip);
}

void IPConnectDialog::connectButtonPressed()
{
    // The window checks one device at a time and applies the report to the
    // device it checks: a second press meanwhile would mix two devices up.
    if (!addButton->isEnabled())
        return;
    const QString ip = ipWidget->ipAddressText();
    const QString port = portEdit->text().trimmed();
    // An address with a field left empty names no device: said here, with
    // what was typed left as it is for the user to finish.
    if (ip.split(QLatin1Char('.')).contains(QString())) {
        QMessageBox::warning(this, QStringLiteral("Add Network Device"),
                             QStringLiteral("The address needs all four numbers, for example 192.168.1.20."),
                             QMessageBox::Ok);
        ipWidget->setFocus();
        return;
    }
    // One device has one address: not "any", not every host, not a group.
    if (!NetworkAddress::namesOneDevice(QHostAddress(ip))) {
        QMessageBox::warning(this, QStringLiteral("Add Network Device"), NetworkAddress::notOneDeviceText(ip),
                             QMessageBox::Ok);
        ipWidget->setFocus();
        return;
    }
    // A port the device cannot have is refused here, with what was typed
    // left as it is (a number past 65535 would wrap to another port).
    bool number = false;
    const int value = port.toInt(&number);
    if (!number || value < 1 || value > 65535) {
        QMessageBox::warning(this, QStringLiteral("Add Network Device"),
                             QStringLiteral("The port must be a number from 1 to 65535."), QMessageBox::Ok);
        portEdit->setFocus();
        return;
    }
    addButton->setEnabled(false);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    emit getNetworkDevice(ip, port);
}

void IPConnectDialog::checkRefused()
{
    if (addButton->isEnabled())
        return;
    QGuiApplication::restoreOverrideCursor();
    addButton->setEnabled(true);
}

void IPConnectDialog::fillBuffer(QString text)
{
    textBuffer += text;
}
