#ifndef CMNDIALOGPROBE_H
#define CMNDIALOGPROBE_H

#include "cmndialog.h"

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
    explicit CMNDialogProbe(CMNDialog *window)
        : w(window)
        , future(window->future)
        , reconnectMode(window->reconnectMode)
        , detachIssued(window->detachIssued)
        , detachedBusNumber(window->detachedBusNumber)
        , detachedPortNumber(window->detachedPortNumber)
        , pendingSerialNumber(window->pendingSerialNumber)
        , updateOwner(window->updateOwner)
        , emitter(window->emitter)
        , contextMenu(window->contextMenu)
        , refreshAction(window->refreshAction)
        , verifyAction(window->verifyAction)
        , imagePath(window->imagePath)
        , imageDir(window->imageDir)
        , lastIp(window->lastIp)
        , lastPort(window->lastPort)
        , deviceNames(window->deviceNames)
        , networkDevices(window->networkDevices)
        , pendingDevice(window->pendingDevice)
        , traceDialog(window->traceDialog)
        , traceEdit(window->traceEdit)
        , connectDialog(window->connectDialog)
    {
    }

    // Shows a USB job started by the test as the window's own: the owner
    // follows it, the window waits for it.
    void watchUsbJob(const QFuture<int> &job) { w->watchUsbJob(w->updateOwner->followUsbJob(job)); }
    void setUpdateControlsEnabled(bool enabled) { w->setUpdateControlsEnabled(enabled); }
    int deviceTypeIndex() const { return w->deviceTypeIndex(); }
    bool isNetworkDevice() const { return w->isNetworkDevice(); }
    bool imageMatchesDevice() const { return w->imageMatchesDevice(); }
    bool confirmUpdate() { return w->confirmUpdate(); }
    static int askButtons(QMessageBox::Icon icon, const QString &title, const QString &text,
                          const QStringList &buttons, int defaultButton, int escapeButton, QWidget *parent,
                          const QString &explanation = QString())
    {
        return CMNDialog::askButtons(icon, title, text, buttons, defaultButton, escapeButton, parent, explanation);
    }

    CMNDialog *const w;
    QFuture<int> &future;
    std::atomic<int> &reconnectMode;
    std::atomic<bool> &detachIssued;
    std::atomic<int> &detachedBusNumber;
    std::atomic<int> &detachedPortNumber;
    QString &pendingSerialNumber;
    TwoPhaseUpdate *const updateOwner;
    Emitter *const emitter;
    QMenu &contextMenu;
    QAction *const refreshAction;
    QAction *const verifyAction;
    QString &imagePath;
    QString &imageDir;
    QString &lastIp;
    int &lastPort;
    QStringList &deviceNames;
    QVector<NetworkDevice *> &networkDevices;
    NetworkDevice *&pendingDevice;
    QDialog *&traceDialog;
    QPlainTextEdit *&traceEdit;
    IPConnectDialog *&connectDialog;
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
