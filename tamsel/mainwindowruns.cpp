// The two update runs of the pad updater, started by the window on the
// thread pool: infrared boot frames, or Modbus Write File Record requests.
// They read the window's state and report only through signals.
#include "mainwindow.h"

#include "crc8lte.h"
#include "emitter.h"
#include "imagefile.h"
#include "modbus.h"

#include <QDebug>
#include <QGuiApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const int irFrameSize = 62;
const int irBlockSize = 48;
const int irSends = 3;                  // each frame goes out three times
const int progressEvery = 3;            // frames or records between progress reports
const int modbusBlockSize = 32;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

std::FILE *MainWindow::openImage(long *size)
{
    std::FILE *file = openImageFile(imageFileName, size);
    if (!file)
        emit emitter->errorSignal(QStringLiteral("Can't open image file %1 %2").arg(imageFileName, systemError()));
    return file;
}

int MainWindow::irBootRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    qDebug() << "boot run";
    QMetaObject::invokeMethod(qApp, [] { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }, Qt::QueuedConnection);
    irProtocolVersion = 2;

    long size = 0;
    std::FILE *file = openImage(&size);
    if (!file)
        return -1;

    int result = sub_ir_config(adapterHandle, 38000, 10, 1, 10);
    if (result != 0) {
        emit emitter->errorSignal(QStringLiteral("SUB-20 sub_ir_config: %1").arg(QString::fromLatin1(sub_strerror(result))));
        std::fclose(file);
        return result;
    }
    const int total = int(size / irBlockSize);
    emit emitter->load_start(0, total);

    // The block area starts zeroed: an image shorter than one block sends
    // zeros after its bytes, never leftover memory. Later short blocks keep
    // the previous block's tail, as the frames always did.
    unsigned char frame[irFrameSize] = {};
    int counter = 0;
    int sent = 0;
    int countdown = progressEvery;
    for (;;) {
        const size_t read = std::fread(frame + 5, 1, irBlockSize, file);
        if (read == 0) {
            emit emitter->load_progress(total);
            const bool failed = std::ferror(file);
            std::fclose(file);
            if (failed) {
                emit emitter->errorSignal(QStringLiteral("IRBOOT. Image read failed: %1").arg(systemError()));
                return -1;
            }
            emit emitter->load_finish();
            return 0;
        }
        if (stopRequested) {
            std::fclose(file);
            return -1;
        }
        frame[0] = 0x55;
        frame[1] = 0x55;
        frame[2] = 0xC3;
        frame[3] = 0xEA;
        frame[4] = quint8(counter);
        frame[53] = Crc8Lte::compute(reinterpret_cast<const char *>(frame + 4), 1 + irBlockSize);
        std::memset(frame + 54, 0xFF, 8);
        for (int i = 0; i < irSends; ++i) {
            result = sub_ir_tx(adapterHandle, irFrameSize, reinterpret_cast<char *>(frame));
            if (result != 0) {
                emit emitter->errorSignal(
                    QStringLiteral("SUB-20 sub_ir_config: %1").arg(QString::fromLatin1(sub_strerror(result))));
                std::fclose(file);
                return result;
            }
        }
        ++sent;
        if (--countdown == 0) {
            emit emitter->load_progress(sent);
            countdown = progressEvery;
        }
        counter = (counter + 1) % 256;
        if (counter == 0)
            counter = 1;
    }
}

int MainWindow::modbusUpdateRun()
{
    const std::lock_guard<std::mutex> running(runMutex);
    Modbus modbus;
    connect(&modbus, SIGNAL(errorString(QString)), this, SLOT(reportError(QString)));
    modbus.traceEnabled = true;
    blockSize = modbusBlockSize;
    modbus.broadcastPause = 100;

    long size = 0;
    std::FILE *file = openImage(&size);
    if (!file)
        return -1;
    const int total = int(size / modbusBlockSize);
    emit emitter->load_start(0, total);

    char block[modbusBlockSize + 1];
    int record = 0;
    int countdown = progressEvery;
    for (;;) {
        int length = int(std::fread(block, 1, modbusBlockSize, file));
        if (length == 0) {
            const bool failed = std::ferror(file);
            if (failed)
                emit emitter->errorSignal(QStringLiteral("IRBOOT. Image read failed: %1").arg(systemError()));
            emit emitter->load_progress(total);
            std::fclose(file);
            return failed ? -1 : 0;
        }
        if (stopRequested) {
            std::fclose(file);
            return -1;
        }
        // Records hold whole 16-bit registers.
        if (length % 2)
            block[length++] = 0;
        const int result = modbus.writeFileRecord(adapterHandle, slaveAddress, 0, record, length, block);
        if (result != 0) {
            std::fclose(file);
            return result;
        }
        ++record;
        if (--countdown == 0) {
            emit emitter->load_progress(record);
            countdown = progressEvery;
        }
    }
}
