// Network upload speed against the simulated device: on loopback with the
// device answering each record after 0, 2 and 10 ms, and through a relay
// that holds every byte 0.5 ms or 10 ms in each direction with the device
// answering after 1 ms. Prints records per second next to the bound that
// three records in flight allow: 3 records per (round trip + answer time).
//
// The images are 'W' images, records only: the time runs from the first
// record to the last acknowledgement (and the close), without the start
// command, header and check that an 'I' image adds once per upload.
#include "network/networkdevice.h"
#include "network/uploadtask.h"

#include "delayrelay.h"
#include "simulateddevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

struct Row
{
    int oneWayUs;                       // the relay's delay each way; 0: straight to the device
    int answerMs;                       // the device's delay before each answer
    int kib;                            // image size
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The tasks log every record; that would measure the terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QTemporaryDir dir;

    const Row rows[] = {
        { 0, 0, 256 }, { 0, 2, 256 }, { 0, 10, 64 }, { 500, 1, 128 }, { 10000, 1, 32 },
    };
    std::printf("%-16s %-10s %-8s %-8s %-10s %-10s %-10s %s\n", "link", "answer ms", "records", "result", "seconds",
                "records/s", "bound", "share");
    bool intact = true;
    for (const Row &row : rows) {
        const int imageSize = row.kib * 1024;
        const QString path = dir.filePath(QStringLiteral("PR_%1_INB.INC").arg(row.kib));
        QByteArray image(imageSize, Qt::Uninitialized);
        for (int i = 0; i < imageSize; ++i)
            image[i] = char(i * 7 + (i >> 9));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != imageSize) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        file.close();
        const int records = imageSize / UploadTask::recordBytes;

        NetworkDeviceSimulator::Options options;
        options.port = 0;
        options.recordDelay = row.answerMs;
        SimulatedDevice simulated(options);
        std::unique_ptr<DelayRelay> relay;
        if (row.oneWayUs > 0)
            relay = std::make_unique<DelayRelay>(simulated.port(), std::chrono::microseconds(row.oneWayUs));
        if (!simulated.isListening() || (relay && !relay->isListening())) {
            std::fprintf(stderr, "the simulated device or the relay cannot listen\n");
            return 1;
        }
        NetworkDevice device(QStringLiteral("127.0.0.1"), relay ? relay->port() : simulated.port());
        UploadTask task(&device, path);
        int result = -1;
        QElapsedTimer timer;
        qint64 nanoseconds = 0;
        QObject::connect(&task, &Task::uploadStart, [&timer] { timer.start(); });
        QObject::connect(&task, &Task::taskFinished, [&](int code) {
            nanoseconds = timer.nsecsElapsed();
            result = code;
        });
        task.run();
        const double seconds = nanoseconds / 1e9;
        const double rate = records / seconds;
        const double cycleMs = 2 * row.oneWayUs / 1000.0 + row.answerMs;
        const QByteArray link = row.oneWayUs ? "relay " + QByteArray::number(row.oneWayUs / 1000.0) + " ms" : "loopback";
        const QByteArray bound = cycleMs > 0 ? QByteArray::number(3000.0 / cycleMs, 'f', 0) : QByteArray("-");
        const QByteArray share = cycleMs > 0 ? QByteArray::number(100.0 * rate / (3000.0 / cycleMs), 'f', 1) + " %"
                                             : QByteArray("-");
        std::printf("%-16s %-10d %-8d %-8d %-10.3f %-10.0f %-10s %s\n", link.constData(), row.answerMs, records, result,
                    seconds, rate, bound.constData(), share.constData());
        std::fflush(stdout);
        // A 'W' upload ends with 11 when every record was acknowledged.
        if (result != 11 || simulated.image('W') != image) {
            std::fprintf(stderr, "the upload did not arrive intact\n");
            intact = false;
        }
    }
    // The sender writes a fourth record before it waits for an answer (the
    // first three never wait), so up to 4/3 of the bound is possible.
    std::printf("bound: 3 records per (round trip + answer time); with a fourth record on its way while the sender "
                "waits, up to 133 %% of it\n");
    return intact ? 0 : 1;
}
