#ifndef NETWORKCHECK_H
#define NETWORKCHECK_H

#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>

class NetworkDevice;

// The check of one network device (ScannerTask) as a single call: runs it,
// collects its report, and fills in the record's serial number and model.
// For callers without a window of their own to receive the report; runs
// on the calling thread.
class NetworkCheck : public QObject
{
    Q_OBJECT
public:
    explicit NetworkCheck(QObject *parent = nullptr);

    // The check's ScannerTask::Result; on Identified and OldBootloader the
    // record holds the device's serial number and model.
    int run(NetworkDevice *device);
    // Looked at while the check waits for the device: when it is raised the
    // wait ends (the check then reports NoConnection).
    void setStopFlag(const std::atomic<bool> *stop) { m_stop = stop; }
    // What a result means, in one sentence; empty for Identified.
    static QString problemText(int code, const QString &ip);
    // run() on `device`, ended by Ctrl+C or SIGTERM (with NoConnection).
    static int stoppable(NetworkDevice *device);
    // stoppable() on every device at once, each on a thread of its own (a
    // check is mostly waiting for the device): as long as the slowest one,
    // not as all of them together. The records are filled in when it
    // returns; the results are in the order of `devices`.
    static QVector<int> stoppableAll(const QVector<NetworkDevice *> &devices);
    // The most checks that run at once.
    static const int maxAtOnce = 16;

public slots:
    // The task's report (a queued call, named as the window's receiver).
    void addNetworkDeviceToList(QString serialNumber, int code);

private:
    const std::atomic<bool> *m_stop = nullptr;
    bool m_reported = false;
    QString m_serialNumber;
    int m_code = -1;
};

#endif // NETWORKCHECK_H
