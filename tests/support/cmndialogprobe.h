#ifndef CMNDIALOGPROBE_H
#define CMNDIALOGPROBE_H

#include "cmndialog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSemaphore>
#include <QtConcurrent>

#include <memory>

// What the window's tests read and start of it besides its widgets and its
// public slots: the members its design names (the USB job's future, the
// reconnection state, the image path, the network records, the trace
// window, the menus), the update owner, and the few steps a test takes on
// its own. The one way in the window grants; a test needing more should
// say why here.
class CMNDialogProbe
{
public:
    explicit CMNDialogProbe(CMNDialog *window) : w(window) {}

    QFuture<int> &future() const { return w->future; }
    std::atomic<int> &reconnectMode() const { return w->reconnectMode; }
    std::atomic<bool> &detachIssued() const { return w->detachIssued; }
    std::atomic<int> &detachedBusNumber() const { return w->detachedBusNumber; }
    std::atomic<int> &detachedPortNumber() const { return w->detachedPortNumber; }
    QString &pendingSerialNumber() const { return w->pendingSerialNumber; }
    TwoPhaseUpdate *updateOwner() const { return w->updateOwner; }
    Emitter *emitter() const { return w->emitter; }
    QMenu &contextMenu() const { return w->contextMenu; }
    QAction *refreshAction() const { return w->refreshAction; }
    QAction *verifyAction() const { return w->verifyAction; }
    QAction *backupAction() const { return w->backupAction; }
    QString &imagePath() const { return w->imagePath; }
    QString &imageDir() const { return w->imageDir; }
    QString &lastIp() const { return w->lastIp; }
    int &lastPort() const { return w->lastPort; }
    QStringList &deviceNames() const { return w->deviceNames; }
    QVector<NetworkDevice *> &networkDevices() const { return w->networkDevices; }
    NetworkDevice *&pendingDevice() const { return w->pendingDevice; }
    QDialog *traceDialog() const { return w->traceDialog; }
    QPlainTextEdit *traceEdit() const { return w->traceEdit; }
    IPConnectDialog *&connectDialog() const { return w->connectDialog; }

    // `path` chosen as the image and shown in its field, as choosing it
    // leaves the window (a test run's command line, which may name a test
    // function, must not stand in for it).
    void chooseImage(const QString &path) const
    {
        w->imagePath = path;
        w->findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(path);
        w->updateUpdateButton();
    }
    // The update controls (its button, the image's button, the list's
    // menu) all on, or all off.
    bool controlsAre(bool on) const
    {
        return w->findChild<QPushButton *>(QStringLiteral("updBtn"))->isEnabled() == on
            && w->findChild<QPushButton *>(QStringLiteral("loadImg"))->isEnabled() == on
            && w->contextMenu.isEnabled() == on;
    }
    // Shows a USB job started by the test as the window's own: the owner
    // follows it, the window waits for it.
    void watchUsbJob(const QFuture<int> &job) const { w->watchUsbJob(w->updateOwner->followUsbJob(job)); }
    // Such a job that ends with `result` once `release` is released.
    void holdUsbJob(QSemaphore &release, int result = 0) const
    {
        watchUsbJob(QtConcurrent::run([&release, result] {
            release.acquire();
            return result;
        }));
    }
    void setUpdateControlsEnabled(bool enabled) const { w->setUpdateControlsEnabled(enabled); }
    int deviceTypeIndex() const { return w->deviceTypeIndex(); }
    bool isNetworkDevice() const { return w->isNetworkDevice(); }
    bool imageMatchesDevice() const { return w->imageMatchesDevice(); }
    bool confirmUpdate() const { return w->confirmUpdate(); }
    static int askButtons(QMessageBox::Icon icon, const QString &title, const QString &text,
                          const QStringList &buttons, int defaultButton, int escapeButton, QWidget *parent,
                          const QString &explanation = QString())
    {
        return CMNDialog::askButtons(icon, title, text, buttons, defaultButton, escapeButton, parent, explanation);
    }

private:
    CMNDialog *const w;
};

inline CMNDialogProbe probe(CMNDialog *window)
{
    return CMNDialogProbe(window);
}

inline CMNDialogProbe probe(const std::unique_ptr<CMNDialog> &window)
{
    return CMNDialogProbe(window.get());
}

#endif // CMNDIALOGPROBE_H
