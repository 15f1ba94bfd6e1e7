#include "serialbootrequest.h"

#include "serialportinuse.h"

#include <QSerialPort>

namespace {

const int writeWait = 100;             // ms

} // namespace

int SerialBootRequest::send(const QString &portName, QString *errorText)
{
    QSerialPort serial;
    serial.setPortName(portName);
    serial.setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);
    if (serial.open(QIODevice::ReadWrite)) {
        serial.write(QByteArrayLiteral("boot\n"));
        serial.waitForBytesWritten(writeWait);
        serial.close();
        return Sent;
    }

    QString text = serial.errorString();
    int result = Failed;
    if (serialPortInUse(text)) {
        text += QLatin1String(" Serial port is in use!");
        result = PortBusy;
    } else if (serialPortNotPermitted(text)) {
        text += QLatin1String(" This user may not open the serial port: add the user to the dialout group and log "
                              "in again, or install Ordane's device access rules.");
        result = NoAccess;
    }
    if (errorText)
        *errorText = text;
    return result;
}
