#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "firmwareimage.h"
#include "sub20.h"
#include "padupdate.h"
#include "updateoutcome.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QString>
#include <QElapsedTimer>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

class Emitter;
class LogBrowser;
class QAction;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSettings;
class QSpinBox;
class UsbHotplugMonitor;
namespace Ui {
class MainWindow;
}

// Tamsel's window: the road to the pad (infrared or Modbus over RS-485,
// both through the SUB-20 adapter), the pad's Modbus address, the image,
// and Start/Stop of one update run at a time on a worker thread, with the
// elapsed time in the progress bar. Follows the adapter being plugged in
// and out, and opens the trace window on Ctrl+Shift+].
//
// A run reads the image path, the address, the adapter handle and the stop
// flag from the window; the last three may change while it runs and are
// atomics.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The update runs (the thread pool runs them); 0 when the whole image
    // went out, -1 for an image problem or a stop, else the failing
    // adapter or Modbus code.
    int irBootRun();
    int modbusUpdateRun();

    // One adapter arrival or removal, with the interface path the hot-plug
    // layer reports; only the adapter's vendor (VID_04D8) counts.
    void handleDeviceChange(bool arrival, const QString &interfacePath);

public slots:
    void btnLoadImageClicked();
    void onUpdBtnClicked();
    void reportError(QString errTxt);
    void handleFinished();
    void handleMessageBoxButton();
    void setAddress(QString text);
    void setConnectionType();
    void logHotKeyPressed();
    void progressBarHandling(int value);
    void stringForUpdateButton(QString text);

private:
    // The tests' one way in (tests/support).
    friend class MainWindowProbe;

    void loadSettings();
    // The update history's row of a run (see `padUpdate`).
    void startHistoryRow();
    void finishHistoryRow();
    // Why the history could not be written is said once, not at every run
    // (again when it fails anew after it has worked).
    void warnOfHistory();
    void registerDeviceNotification();
    void loadConnectionType();
    void showConnectionType(bool modbus);
    void updateButtonState();
    void openAdapter();
    void adapterRemoved();
    // With an RS-485 converter standing for the adapter, its serial port
    // coming and going counts as the adapter's arrival and removal.
    void checkAdapterPort();
    // Closes the handles taken away by removals once no run can use them.
    void releaseRetiredAdapters();
    // Ctrl+C or SIGTERM (a logout): the run stops at its next record or
    // frame and the window closes; the destructor waits for the run.
    void stopForSignal();

    Ui::MainWindow *ui;
    QElapsedTimer elapsedTime;
    int blockSize = 0;
    int irProtocolVersion = 0;
    std::atomic<int> slaveAddress { 80 };
    QPushButton *updBtn;
    QPushButton *loadImg;
    QProgressBar *progressBar;
    QLineEdit *lineEdit;
    QLabel *labelDevName;
    QSpinBox *spinBoxAdress;
    QFuture<int> future;
    QSettings *settings = nullptr;
    QString imageFileName;
    QString lastImageDir;
    QFutureWatcher<int> watcher;
    int connectionType = 0;
    std::atomic<sub_handle> adapterHandle { nullptr };
    // Handles cleared by a removal while a run could still hold them.
    QVector<sub_handle> retiredAdapters;
    std::atomic<bool> stopRequested { false };
    // "Verify After Writing" (Options menu, remembered): a Modbus run reads
    // the records back. Fixed at Start for the run; padUpdate says what came
    // of it.
    QAction *verifyAction = nullptr;
    std::atomic<bool> runVerify { false };
    // "Back Up Before Writing" (Options menu, remembered): a Modbus run
    // first keeps the pad's records in the backup store, and writes nothing
    // without them. Fixed at Start, as Verify is.
    QAction *backupAction = nullptr;
    std::atomic<bool> runBackup { false };
    // The backup store's size past its bound has been said.
    bool storeSaidTooLarge = false;
    // A restore, as History's "Restore Previous Firmware..." fixed it: the
    // backup's bytes (checked against its name), its row and its pad. No
    // row: an update of the image the field names.
    FirmwareImage runImage;
    qint64 runRestoredRow = 0;
    int runRestoreAddress = 0;
    // The road of the run (0 infrared, 1 Modbus), fixed at its start.
    int runRoad = 0;
    // The job a run writes, as Start fixed it.
    PadUpdate::Job runJob(int road) const;
    // Starts the run of `road` with what Start (or a restore) fixed.
    void startRun(int road);
    // History's "Restore Previous Firmware...": the backup of `row` into the
    // pad at its address, after asking, read back.
    void restoreFromHistory(const UpdateHistory::Entry &row);
    // From Start until the run's end has been handled: the controls wait
    // for it.
    bool runUnfinished = false;
    // Held by a run from its start to its end. The destructor takes it
    // after waiting for the run, so the run's last use of the window
    // visibly comes before the window goes (Qt's own wait is invisible to
    // the race detector).
    std::mutex runMutex;
    // The pad's update, which the runs delegate to: its history row is
    // begun at Start and completed once when the run's end is handled.
    std::unique_ptr<PadUpdate> padUpdate;
    UsbHotplugMonitor *notificationHandle = nullptr;
    QTimer signalWatch;
    Emitter *emitter;
    LogBrowser *logBrowser;
};

#endif // MAINWINDOW_H
