#ifndef IPCONNECTDIALOG_H
#define IPCONNECTDIALOG_H

#include <QDialog>
#include <QString>

class IPWidget;
class QLineEdit;
class QPushButton;

// The small dialog in which the user types a network device's IPv4 address
// and TCP port. "Add Device" hands both texts, unchecked, to the window
// (getNetworkDevice) under a wait cursor that lasts until the dialog is
// destroyed. One check at a time: "Add Device" is off while it runs.
class IPConnectDialog : public QDialog
{
    Q_OBJECT
public:
    explicit IPConnectDialog(QWidget *parent = nullptr);
    ~IPConnectDialog() override;

    void setAddress(const QString &ip, int port);
    // The window did not take the address (another check was under way):
    // "Add Device" may be pressed again, and the wait cursor goes.
    void checkRefused();

signals:
    void getNetworkDevice(QString, QString);
    void closeDialog();

public slots:
    void connectButtonPressed();
    void fillBuffer(QString text);

private:
    friend class IPConnectDialogTest;

    IPWidget *ipWidget;
    QLineEdit *portEdit;
    QPushButton *addButton;
    QPushButton *cancelButton;
    QString textBuffer;
};

#endif // IPCONNECTDIALOG_H
