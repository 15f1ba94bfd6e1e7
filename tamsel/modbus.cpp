#include "modbus.h"

#include "crc16modbus.h"

#include <QDebug>
#include <QThread>

#include <algorithm>

namespace {

const quint8 readFileRecordFunction = 0x14;
const quint8 writeFileRecordFunction = 0x15;
const quint8 referenceType = 6;
const int replyCapacity = 62;
const int broadcastTimeout = 10;        // ms
const int byteGapUs = 10000;
const int rsTimingFlags = 2;
const int exceptionLength = 5;          // address, function, code, CRC

} // namespace

Modbus::Modbus(QObject *parent)
    : QObject(parent)
{
}

void Modbus::putRecordRequest(int slaveAddress, int function, int byteCount, int fileNumber, int recordNumber,
                              int length)
{
    txFrame[0] = quint8(slaveAddress);
    txFrame[1] = quint8(function);
    txFrame[2] = quint8(byteCount);
    txFrame[3] = referenceType;
    txFrame[4] = quint8(fileNumber >> 8);
    txFrame[5] = quint8(fileNumber);
    txFrame[6] = quint8(recordNumber >> 8);
    txFrame[7] = quint8(recordNumber);
    txFrame[8] = quint8((length / 2) >> 8);
    txFrame[9] = quint8(length / 2);
}

int Modbus::writeFileRecord(sub_handle handle, int slaveAddress, int fileNumber, int recordNumber, int length,
                            const char *data)
{
    putRecordRequest(slaveAddress, writeFileRecordFunction, length + 7, fileNumber, recordNumber, length);
    std::copy(data, data + length, txFrame + 10);
    return transaction(handle, length + 10, 1000);
}

int Modbus::readFileRecord(sub_handle handle, int slaveAddress, int fileNumber, int recordNumber, int length,
                           char *data)
{
    putRecordRequest(slaveAddress, readFileRecordFunction, 7, fileNumber, recordNumber, length);
    // Address, function, data length, then one sub-response (its length,
    // the reference type, the record), CRC.
    const int result = transaction(handle, 10, 1000, 5 + length + 2);
    if (result == 0)
        std::copy(rxFrame + 5, rxFrame + 5 + length, data);
    return result;
}

void Modbus::appendCrc(unsigned char *bytes, int &length)
{
    const quint16 crc = Crc16Modbus::compute(reinterpret_cast<const char *>(bytes), length);
    bytes[length++] = quint8(crc & 0xFF);
    bytes[length++] = quint8(crc >> 8);
}

int Modbus::transfer(sub_handle handle, int length, int timeoutMs)
{
    sub_rs_timing(handle, rsTimingFlags, 0, timeoutMs * 1000, byteGapUs);
    const int received = sub_rs_xfer(handle, reinterpret_cast<char *>(txFrame), length,
                                     reinterpret_cast<char *>(rxFrame), replyCapacity);
    if (received < 0) {
        emit errorString(QStringLiteral("sub_rs_xfer: %1").arg(QString::fromLatin1(sub_strerror(sub_errno()))));
        return received;
    }
    if (received == 0 && txFrame[0] != 0) {
        emit errorString(tr("Modbus Timeout"));
        return -138;
    }
    return received;
}

int Modbus::transaction(sub_handle handle, int length, int timeoutMs, int replyLength)
{
    m_lastException = 0;
    appendCrc(txFrame, length);
    traceFrame(true, txFrame, length);
    const bool broadcast = txFrame[0] == 0;
    const int received = transfer(handle, length, broadcast ? broadcastTimeout : timeoutMs);
    if (received < 0)
        return -received;
    if (received > 0)
        traceFrame(false, rxFrame, received);
    if (broadcast) {
        QThread::msleep(ulong(qMax(0, broadcastPause)));
        return 0;
    }
    if (received <= 2) {
        emit errorString(QStringLiteral("Frame incomplete (sz=%1)\n").arg(received));
        return 32;
    }
    const quint16 crc = Crc16Modbus::compute(reinterpret_cast<const char *>(rxFrame), received - 2);
    if (rxFrame[received - 2] != (crc & 0xFF) || rxFrame[received - 1] != (crc >> 8)) {
        emit errorString(QStringLiteral("CRC error"));
        return 74;
    }
    // Only the addressed pad's answer to this very request counts: a frame
    // from another slave, with another function, or that does not repeat
    // the request (the echo of a record it took) is no acknowledgement; a
    // read is answered with the record asked for, of its length.
    const bool fromThePad = rxFrame[0] == txFrame[0] && (rxFrame[1] & 0x7F) == txFrame[1];
    const bool exception = rxFrame[1] & 0x80;
    const bool wellFormed = exception ? received == exceptionLength
        : replyLength == 0            ? received == length && std::equal(rxFrame, rxFrame + length, txFrame)
                                      : received == replyLength && rxFrame[2] == replyLength - 5
                                            && rxFrame[3] == replyLength - 6 && rxFrame[4] == referenceType;
    // A read answered with no records at all (byte count 0): the pad keeps
    // nothing it could give back.
    if (fromThePad && !exception && replyLength != 0 && received == exceptionLength && rxFrame[2] == 0)
        return noRecords;
    if (!fromThePad || !wellFormed) {
        // Addresses as --address and the window take them.
        emit errorString(QStringLiteral("Modbus reply from slave 0x%1 with function 0x%2 does not answer the "
                                        "request to slave 0x%3")
                             .arg(rxFrame[0], 2, 16, QLatin1Char('0'))
                             .arg(rxFrame[1], 2, 16, QLatin1Char('0'))
                             .arg(txFrame[0], 2, 16, QLatin1Char('0')));
        return 71;
    }
    if (!exception)
        return 0;
    m_lastException = rxFrame[2];
    QString text;
    switch (rxFrame[2]) {
    case 1: text = QStringLiteral("Illegal Function"); break;
    case 2: text = QStringLiteral("Illegal Data Address"); break;
    case 3: text = QStringLiteral("Illegal Data Value"); break;
    case 4: text = QStringLiteral("Slave Device Failure"); break;
    default: text = QStringLiteral("%1 - Unknown").arg(rxFrame[2]); break;
    }
    emit errorString(QStringLiteral("Modbus Exception: ") + text);
    return 40;
}

void Modbus::traceFrame(bool outgoing, const unsigned char *bytes, int length)
{
    if (!traceEnabled)
        return;
    QString line = outgoing ? QStringLiteral("--> ") : QStringLiteral("<-- ");
    for (int i = 0; i < length; ++i) {
        line += QString::asprintf("%02X", bytes[i]);
        if (i <= 1)
            line += tr("|");
        else if (i == length - 2)
            line += tr("_");
        else
            line += tr(" ");
        if (i % 16 == 15)
            line += QStringLiteral("\n    ");
    }
    qInfo().noquote() << line;
}
