#ifndef MAINWINDOWPROBE_H
#define MAINWINDOWPROBE_H

#include "mainwindow.h"

#include <memory>

// What Tamsel's tests (and its soak run) read and set of its window besides
// its widgets and public slots: the members its design names that a run
// reads (image, address, adapter handle, stop flag), the run's future and
// end, the verify choice, the emitter and the trace window. The one way in
// the window grants.
class MainWindowProbe
{
public:
    explicit MainWindowProbe(MainWindow *window) : w(window) {}

    std::atomic<sub_handle> &adapterHandle() const { return w->adapterHandle; }
    QString &imageFileName() const { return w->imageFileName; }
    std::atomic<int> &slaveAddress() const { return w->slaveAddress; }
    std::atomic<bool> &stopRequested() const { return w->stopRequested; }
    QFuture<int> &future() const { return w->future; }
    bool &runUnfinished() const { return w->runUnfinished; }
    QElapsedTimer &elapsedTime() const { return w->elapsedTime; }
    QAction *verifyAction() const { return w->verifyAction; }
    QAction *backupAction() const { return w->backupAction; }
    Emitter *emitter() const { return w->emitter; }
    LogBrowser *logBrowser() const { return w->logBrowser; }
    // An RS-485 converter's serial port looked at now, as the window's
    // timer does.
    void checkAdapterPort() const { w->checkAdapterPort(); }

private:
    MainWindow *const w;
};

inline MainWindowProbe probe(MainWindow *window)
{
    return MainWindowProbe(window);
}

inline MainWindowProbe probe(const std::unique_ptr<MainWindow> &window)
{
    return MainWindowProbe(window.get());
}

#endif // MAINWINDOWPROBE_H
