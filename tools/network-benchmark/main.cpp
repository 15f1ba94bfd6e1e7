// Network upload speed: writes a 256 KiB image into the simulated device on
// loopback with a per-record answer delay of 0 and 2 ms, and prints records
// per second next to the bound that three records in flight allow at that
// delay (3 records per delay).
#include "network/networkdevice.h"
#include "network/uploadtask.h"

#include "simulateddevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The tasks log every record; that would measure the terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    const int imageSize = 256 * 1024;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("PR_BENCH.INC"));
    QFile file(path);
    QByteArray image(imageSize, Qt::Uninitialized);
    for (int i = 0; i < imageSize; ++i)
        image[i] = char(i * 7 + (i >> 9));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != imageSize) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    file.close();
    const int records = imageSize / UploadTask::recordBytes;

    std::printf("%-10s %-8s %-12s %-14s %s\n", "delay ms", "result", "seconds", "records/s", "of bound");
    for (const int delay : { 0, 2 }) {
        NetworkDeviceSimulator::Options options;
        options.port = 0;
        options.recordDelay = delay;
        SimulatedDevice simulated(options);
        if (!simulated.isListening()) {
            std::fprintf(stderr, "the simulated device cannot listen\n");
            return 1;
        }
        NetworkDevice device(QStringLiteral("127.0.0.1"), simulated.port());
        UploadTask task(&device, path);
        int result = -1;
        QObject::connect(&task, &Task::taskFinished, [&result](int code) { result = code; });
        QElapsedTimer timer;
        timer.start();
        task.run();
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double rate = records / seconds;
        const QByteArray share = delay > 0 ? QByteArray::number(100.0 * rate / (3000.0 / delay), 'f', 1) + " %"
                                           : QByteArray("-");
        std::printf("%-10d %-8d %-12.3f %-14.0f %s\n", delay, result, seconds, rate, share.constData());
        if (result != 0 || simulated.image('I') != image) {
            std::fprintf(stderr, "the upload did not arrive intact\n");
            return 1;
        }
    }
    return 0;
}
