#include "networkcheck.h"

#include "interruptsignal.h"

#include "devicetypefromserial.h"
#include "networkdevice.h"
#include "scannertask.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>

NetworkCheck::NetworkCheck(QObject *parent)
    : QObject(parent)
{
}

int NetworkCheck::run(NetworkDevice *device)
{
    m_reported = false;
    ScannerTask task(this, device);
    QTimer watch;
    if (m_stop) {
        connect(&watch, &QTimer::timeout, &task, [this, &task] {
            if (*m_stop)
                task.stop();
        });
        watch.start(100);
    }
    task.run();
    watch.stop();
    // The report was queued when run() ended: it is the next event for us.
    while (!m_reported)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (m_code == ScannerTask::Identified || m_code == ScannerTask::OldBootloader) {
        device->setSerialNumber(m_serialNumber);
        device->setType(deviceTypeFromSerial(m_serialNumber));
    }
    return m_code;
}

void NetworkCheck::addNetworkDeviceToList(QString serialNumber, int code)
{
    m_serialNumber = serialNumber;
    m_code = code;
    m_reported = true;
}

QString NetworkCheck::problemText(int code, const QString &ip)
{
    switch (code) {
    case ScannerTask::Identified:
        return QString();
    case ScannerTask::NotTheMakers:
        return QStringLiteral("The device at %1 is not an Ordane device (its MAC address says so).").arg(ip);
    case ScannerTask::NoConnection:
        return QStringLiteral("Can't find an Ordane device at ip: %1 (no connection).").arg(ip);
    case ScannerTask::OldPrimoraFirmware:
    case ScannerTask::OldFirmware:
        return QStringLiteral("The current firmware version of the device at %1 doesn't allow a network update; "
                              "the firmware can be updated via USB.").arg(ip);
    case ScannerTask::OldBootloader:
        return QStringLiteral("The current bootloader version of the device at %1 doesn't allow a network update; "
                              "the firmware can be updated via USB.").arg(ip);
    case ScannerTask::AnswerTooLong:
        return ScannerTask::answerTooLongText(ip);
    default:
        return QStringLiteral("The device at %1 did not say what it is (no serial number or version in its "
                              "answer).").arg(ip);
    }
}

int NetworkCheck::stoppable(NetworkDevice *device)
{
    NetworkCheck check;
    check.setStopFlag(&InterruptSignal::flag());
    return check.run(device);
}

QVector<int> NetworkCheck::stoppableAll(const QVector<NetworkDevice *> &devices)
{
    QVector<int> codes(devices.size(), ScannerTask::NoConnection);
    if (devices.size() == 1) {
        codes[0] = stoppable(devices.first());
        return codes;
    }
    // Each check, its task and its socket live on their thread; a record is
    // written there and read here only after that thread has ended. A long
    // list of addresses is asked a batch at a time.
    for (int first = 0; first < devices.size(); first += maxAtOnce) {
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = first; i < qMin(int(devices.size()), first + maxAtOnce); ++i) {
            int *code = &codes[i];
            NetworkDevice *device = devices.at(i);
            threads.emplace_back(QThread::create([code, device] { *code = stoppable(device); }));
            threads.back()->start();
        }
        for (const std::unique_ptr<QThread> &thread : threads)
            thread->wait();
    }
    return codes;
}
