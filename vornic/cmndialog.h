#ifndef CMNDIALOG_H
#define CMNDIALOG_H

#include "firmwareimage.h"
#include "network/networkdevice.h"
#include "update/deviceinventory.h"
#include "update/twophaseupdate.h"
#include "updateoutcome.h"

#include <QEventLoop>
#include <QFuture>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPoint>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QVector>

#include <atomic>

class Emitter;
class QAction;
class QDialog;
class QListWidgetItem;
class QPlainTextEdit;
class QSettings;
class UsbHotplugMonitor;
class Ui_CMNDialog;
class DfuEngine;
class IPConnectDialog;
class StationWindow;
struct DfuInterface;
struct libusb_device;

// The Vornic main window: device list, image choice, and the dispatch of an
// update to the USB, serial or network road.
class CMNDialog : public QMainWindow
{
    Q_OBJECT
public:
    explicit CMNDialog(QWidget *parent = nullptr);
    ~CMNDialog() override;

    // Appends a row (text shown, `data` under Qt::UserRole) and makes it the
    // current one. Every row of the device list is added through here.
    void addListEntry(const QString &text, const QVariant &data);
    void addNetworkEntry(NetworkDevice *device);
    void addNetworkEntries();

    void updateUpdateButton();
    void showStatusError(const QString &text, int code);

    // One USB device arrival or removal, with the device interface path the
    // platform's hot-plug layer reports.
    void handleDeviceChange(bool arrival, const QString &interfacePath);

    // One DFU run on a USB device; the job the thread pool runs. 0 or more
    // is success.
    int dfuUpdate(libusb_device *device);
    int dfuDownload(const QString &path, const DfuInterface &dfu, int transferSize);
    // Starts the USB road on `row` (the second phase of a two-phase update).
    void startUsbUpdate(libusb_device *device, int row);

    // The serial road: one row per COM port of the maker, and the command
    // that makes such a device restart into its USB bootloader.
    void addSerialPortEntry(const QSerialPortInfo &port);
    void nudgeLocalServer(const QString &entryText);
    void enterSerialBootloader(const QSerialPortInfo &port);

signals:
    void stopThread();

public slots:
    void uploadFinished(int code);
    void uploadNetworkDevice(NetworkDevice *dev);
    void btnLoadImageClicked();
    void selectUSBDevice(QListWidgetItem *item);
    void onUpdBtnClicked();
    void onRebootNetworkDevice();
    void deviceConnected();
    int enumDevices();
    void getNetworkDeviceOptions(QString ip, QString port);
    void closeConnectDialog();
    void addNetworkDeviceToList(QString str, int errorCode);
    void slotError();
    void showContextMenu(QPoint pos);
    void displayWarnings(QString w);
    void keyCtrlDPressed();
    void btnsOn();
    void openConnectDialog();
    void deleteFromWidget();
    void checkConnection();
    void checkConnectionTaskFinished(QByteArray reply);
    void checkDeviceList();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The tests' one way in (tests/support).
    friend class CMNDialogProbe;

    void setTitle();
    void loadSettings();
    bool registerUsbNotification();
    void listUsbDevices();
    void listSerialPorts();
    void queryNetworkDevice(NetworkDevice *device);
    // The messages for a failed network check; true when the device is to
    // be added all the same (the user ignores an old bootloader).
    bool reportNetworkError(int code);
    // Tells the device of the network upload that no image follows
    // ("iwr I0 ").
    void sendUploadCancel();
    // A message box with text buttons (and, when given, a second paragraph
    // that explains); returns the index of the button pressed (-1 for none).
    static int askButtons(QMessageBox::Icon icon, const QString &title, const QString &text,
                          const QStringList &buttons, int defaultButton, int escapeButton, QWidget *parent,
                          const QString &explanation = QString());
    int deviceTypeIndex() const;
    bool isNetworkDevice() const;
    // The network record of the current row, or null.
    NetworkDevice *currentNetworkDevice() const;
    bool imageMatchesDevice() const;
    bool confirmUpdate();
    // Writes `image` into the device of the row with `data` and `text`
    // (listed in `listing`), by its road; `restoredRow`: the history row
    // whose backup it is (0: an update).
    // The list row's data names a device (a serial port, a network device
    // or a USB device).
    static bool namesDevice(const QVariant &data);
    void startUpdate(const QVariant &data, const QString &text, quint64 listing, const FirmwareImage &image,
                     bool verify, bool backup, qint64 restoredRow);
    // History's "Restore Previous Firmware...": the backup of `row`, checked
    // against its hash, into the device of its serial number, after asking.
    void restoreFromHistory(const UpdateHistory::Entry &row);
    void startUsbJob(libusb_device *device);
    void setUpdateControlsEnabled(bool enabled);
    // Shows the owner's running USB job in `future` and hands it to
    // `watcher`; while it runs the list refuses to refresh and closing the
    // window waits for it.
    void watchUsbJob(const QFuture<int> &job);
    // The owner's USB job has ended and nothing is awaited: shows and
    // records its outcome (or closes, when the user asked to meanwhile).
    void usbJobEnded(const UpdateOutcome &outcome);
    // True from the press on "Update Firmware" until the update has ended:
    // a USB job runs, or a device sent into its bootloader is awaited. No
    // second update may start and the update controls stay off meanwhile.
    bool updateInProgress() const;
    // Opens the production station's window (one per main window).
    void openStation();
    // A production station runs, or devices it started are still written.
    bool stationBusy() const;
    // Says that the device is awaited back in its bootloader.
    void awaitReconnection();
    void reconnectionTimedOut();
    // Ends a two-phase update whose device cannot be written, saying why:
    // nothing is awaited any more and the controls come back.
    void abandonReconnection(const UpdateOutcome &outcome);
    // Completes the update's history row (once), and says once, in the trace
    // window, when the history cannot be written.
    void recordOutcome(const UpdateOutcome &outcome);
    // Puts the outcome of an update into the progress bar's text; `note`
    // follows "Update complete" (what verification found), and `why` is the
    // bar's tool tip.
    void showUpdateOutcome(bool success, const QString &note = QString(), const QString &why = QString());
    // The program was told to end (SIGTERM, Ctrl+C): a USB download stops
    // after its block with DFU ABORT, a network upload after its record,
    // nothing more is awaited, and the window closes.
    void stopForSignal();

    // Settings written by the window's start-up and by the network road.
    static constexpr char lastIpKey[] = "settings/last_ip";
    static constexpr char portKey[] = "settings/port";
    static constexpr char verifyKey[] = "settings/verify";
    static constexpr char backupKey[] = "settings/backup";
    // The image last chosen, and the folder its dialog opens in.
    static constexpr char filenameKey[] = "filename";

    Ui_CMNDialog *ui = nullptr;
    QMenu contextMenu;
    QAction *deleteAction = nullptr;
    QAction *refreshAction = nullptr;
    // Checked: a USB image is read back after the download, and the outcome
    // says whether the device was verified (remembered in the settings).
    QAction *verifyAction = nullptr;
    // Checked: what a USB or serial-port device holds is read and kept in
    // the backup store before its first block is written, and nothing is
    // written without it (remembered in the settings).
    QAction *backupAction = nullptr;
    // The backup store's size past its bound has been said.
    bool storeSaidTooLarge = false;
    QFuture<int> future;
    QFutureWatcher<int> watcher;
    QString imageDir;
    QString imagePath;
    // The window was closed while a USB job ran; it closes when the job ends.
    bool closeRequested = false;
    // Looks for the signal that tells the program to end.
    QTimer signalWatch;
    QStringList deviceNames;
    QSettings *settings = nullptr;
    QVector<NetworkDevice *> networkDevices;
    // The update owner's reconnection state as it publishes it (on the GUI
    // thread).
    std::atomic<int> detachedBusNumber { -1 };
    std::atomic<int> detachedPortNumber { -1 };
    // The devices of the current listing (referenced), one per USB row; a
    // device pointer read from a row is valid while its generation lasts.
    DeviceInventory inventory;
    UsbHotplugMonitor *notificationHandle = nullptr;
    int lastPort = 10102;
    QString lastIp;
    NetworkDevice *pendingDevice = nullptr;
    QEventLoop eventLoop;
    QString pendingSerialNumber;
    QDialog *traceDialog = nullptr;
    QPlainTextEdit *traceEdit = nullptr;
    IPConnectDialog *connectDialog = nullptr;
    std::atomic<bool> detachIssued { false };
    Emitter *emitter = nullptr;
    std::atomic<int> reconnectMode { -1 };
    // The update in progress, on any road: its phase, image, device and
    // deadline. The reconnection members above show its state.
    TwoPhaseUpdate *updateOwner = nullptr;
    // While its station is busy the window starts no update and lists no
    // device: one job at a time, and no request goes to a device that the
    // station may be writing.
    StationWindow *stationWindow = nullptr;
};

// Serial rows keep their port description; the type is registered under
// the name "QSerialPortInfo" the first time a row is made or read.
Q_DECLARE_METATYPE(QSerialPortInfo)

#endif // CMNDIALOG_H
