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
    explicit MainWindowProbe(MainWindow *window)
        : w(window)
        , adapterHandle(window->adapterHandle)
        , imageFileName(window->imageFileName)
        , slaveAddress(window->slaveAddress)
        , stopRequested(window->stopRequested)
        , future(window->future)
        , runUnfinished(window->runUnfinished)
        , elapsedTime(window->elapsedTime)
        , verifyAction(window->verifyAction)
        , emitter(window->emitter)
        , logBrowser(window->logBrowser)
    {
    }

    // An RS-485 converter's serial port looked at now, as the window's
    // timer does.
    void checkAdapterPort() { w->checkAdapterPort(); }

    MainWindow *const w;
    std::atomic<sub_handle> &adapterHandle;
    QString &imageFileName;
    std::atomic<int> &slaveAddress;
    std::atomic<bool> &stopRequested;
    QFuture<int> &future;
    bool &runUnfinished;
    QElapsedTimer &elapsedTime;
    QAction *const verifyAction;
    Emitter *const emitter;
    LogBrowser *const logBrowser;
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
