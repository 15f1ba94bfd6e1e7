#ifndef REPORTRECEIVER_H
#define REPORTRECEIVER_H

#include <QObject>
#include <QString>

// Stands in for the window as owner of a network check: takes its queued
// report addNetworkDeviceToList(QString, int).
class ReportReceiver : public QObject
{
    Q_OBJECT
public slots:
    void addNetworkDeviceToList(QString str, int errorCode)
    {
        serial = str;
        code = errorCode;
        ++reports;
    }

public:
    QString serial;
    int code = -1;
    int reports = 0;
};

#endif // REPORTRECEIVER_H
