#ifndef MODBUS_H
#define MODBUS_H

#include "sub20.h"

#include <QObject>
#include <QString>

// A minimal Modbus RTU master for the adapter's RS-485 port: Write File
// Record (0x15) and Read File Record (0x14) requests framed with the CRC,
// one transfer per request, replies validated and both frames traced. Every
// failure is reported once through errorString() and returned as a code:
//   0 done (or a broadcast sent); 138 no reply; 32 a reply of 1 or 2 bytes;
//   74 CRC error; 40 exception reply; 71 a reply that is not the addressed
//   pad's answer to the request; otherwise minus the adapter's result.
class Modbus : public QObject
{
    Q_OBJECT
public:
    explicit Modbus(QObject *parent = nullptr);

    int writeFileRecord(sub_handle handle, int slaveAddress, int fileNumber, int recordNumber, int length,
                        const char *data);
    // Reads `length` bytes (whole registers) of one record into `data`.
    int readFileRecord(sub_handle handle, int slaveAddress, int fileNumber, int recordNumber, int length,
                       char *data);
    // A read answered with no records (byte count 0).
    static const int noRecords = 41;
    // The exception code of the last exception reply (40), else 0.
    int lastException() const { return m_lastException; }
    // `replyLength` 0: the reply repeats the request (Write File Record);
    // otherwise the reply's whole length, CRC included.
    int transaction(sub_handle handle, int length, int timeoutMs, int replyLength = 0);
    int transfer(sub_handle handle, int length, int timeoutMs);
    void traceFrame(bool outgoing, const unsigned char *bytes, int length);
    static void appendCrc(unsigned char *bytes, int &length);

    bool traceEnabled = false;
    int broadcastPause = 0;             // ms after a broadcast request

signals:
    void errorString(QString);

private:
    // The request's first ten bytes: address, function, byte count, and one
    // sub-request (reference type, file, record, length in registers).
    void putRecordRequest(int slaveAddress, int function, int byteCount, int fileNumber, int recordNumber,
                          int length);

    unsigned char txFrame[256] = {};
    unsigned char rxFrame[256] = {};
    int m_lastException = 0;
};

#endif // MODBUS_H
