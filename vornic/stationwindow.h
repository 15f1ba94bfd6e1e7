#ifndef STATIONWINDOW_H
#define STATIONWINDOW_H

#include "firmwareimage.h"
#include "update/productionstation.h"

#include <QDateTime>
#include <QMap>
#include <QTimer>
#include <QWidget>

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QMimeData;
class QPushButton;
class QSettings;
class StationTile;
class StationWatch;

// Vornic's production station in a window of its own: the image (chosen or
// dropped, shown with its SHA-256 in full and the models it fits), Start and
// Stop, one large tile per port that has had a device, the tally and the
// rate, and the history of this run. The station itself is the engine's
// ProductionStation; this window only drives and shows it.
class StationWindow : public QWidget
{
    Q_OBJECT
public:
    // `settings` (may be null) keeps the image and Verify After Writing.
    explicit StationWindow(QSettings *settings, QWidget *parent = nullptr);

    // Reads the image at `path` once: what Start writes is these bytes,
    // whatever becomes of the file. False (said in the window) when it
    // cannot be written.
    bool chooseImage(const QString &path);
    void start();
    // No new device is started; those being written stop cleanly (a USB
    // download after its block, with DFU ABORT), and the window says when
    // the station has ended.
    void stop();
    // The station runs, or devices it started are still being written.
    bool busy() const { return m_started && !m_ended; }
    // Off while another update runs (the main window's): one job at a time.
    void setStartAllowed(bool allowed);

    // The tile of `port`, made when the port has its first device.
    StationTile *tileFor(const QString &port);
    void showTally(const ProductionStation::Tally &tally);
    ProductionStation *station() { return m_station; }

signals:
    // busy() changed: the main window's update controls follow it.
    void busyChanged(bool busy);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void browse();
    void said(const ProductionStation::Event &event);
    void ended();
    void openHistory();
    void updateControls();
    static QString droppedFile(const QMimeData *data);

    QSettings *m_settings;
    ProductionStation *m_station;
    StationWatch *m_watch;
    FirmwareImage m_image;
    QLineEdit *m_path;
    QPushButton *m_browse;
    QLabel *m_sha256;
    QLabel *m_fits;
    QCheckBox *m_verify;
    QPushButton *m_start;
    QPushButton *m_stop;
    QPushButton *m_history;
    QLabel *m_tally;
    QLabel *m_message;
    QGridLayout *m_tiles;
    QMap<QString, StationTile *> m_tileOf;
    // Refreshes the rate while the station runs.
    QTimer m_clock;
    QDateTime m_runStarted;
    bool m_started = false;
    bool m_ended = false;
    bool m_closeWhenEnded = false;
    bool m_startAllowed = true;
    int m_present = 0;
};

#endif // STATIONWINDOW_H
