// Writes a 1 MiB image into an emulated DFU device with transfer sizes 1024
// and 4096 through our engine, through vornic-cli and through dfu-util, and
// prints the times and their ratios. Each figure is the best of a few runs;
// the two programs' times include starting the process.
#include "usb/dfuengine.h"
#include "usb/dfuprotocol.h"

#include "emitter.h"
#include "emulateddfudevice.h"
#include "usbtestbed.h"

#include "bestof.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <functional>

namespace {

const int imageSize = 1024 * 1024;
const int runs = 3;

QByteArray imageBytes()
{
    QByteArray bytes(imageSize, Qt::Uninitialized);
    quint32 x = 0x9E3779B9u;
    for (int i = 0; i < imageSize; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

// Seconds for one download through our engine, or a negative number.
double oursOnce(EmulatedDfuDevice &device, const QString &path, const QByteArray &image)
{
    device.reset();
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return -1;
    libusb_device *usbDevice = EmulatedDfuDevice::findOnBus(context);
    double seconds = -1;
    if (usbDevice) {
        Emitter emitter;
        std::atomic<bool> detachIssued { false };
        std::atomic<int> bus { -1 }, port { -1 }, mode { -1 };
        DfuEngine engine(&emitter, { detachIssued, bus, port, mode });
        QElapsedTimer timer;
        timer.start();
        const int result = engine.update(usbDevice, path);
        seconds = timer.nsecsElapsed() / 1e9;
        if (result != 0 || device.downloaded() != image)
            seconds = -1;
        libusb_unref_device(usbDevice);
    }
    libusb_exit(context);
    return seconds;
}

// Seconds for one run of `program` (process start included), or negative.
double programOnce(EmulatedDfuDevice &device, const QString &program, const QStringList &arguments,
                   const QByteArray &image)
{
    device.reset();
    QProcess process;
    // The child needs the testbed's location and the preload library.
    process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0 || device.downloaded() != image) {
        std::fprintf(stderr, "%s\n", process.readAll().constData());
        return -1;
    }
    return seconds;
}

double best(const std::function<double()> &run)
{
    return bestOf(runs, run);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    UsbTestbed testbed;
    if (!testbed.isValid()) {
        std::fprintf(stderr, "dfu-benchmark: run it under umockdev-wrapper (scripts/benchmark.sh does)\n");
        return 2;
    }
    const QString dfuUtil = QStandardPaths::findExecutable(QStringLiteral("dfu-util"));
    if (dfuUtil.isEmpty()) {
        std::fprintf(stderr, "dfu-benchmark: dfu-util is not installed\n");
        return 2;
    }
    dfuInit(5000);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("BENCH.INC"));
    const QByteArray image = imageBytes();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        std::fprintf(stderr, "dfu-benchmark: cannot write %s\n", qPrintable(path));
        return 2;
    }
    file.close();

    out << "1 MiB image into an emulated DFU device, best of " << runs << " runs\n";
    out << "transfer size   engine (s)   vornic-cli (s)   dfu-util (s)   engine/dfu-util   vornic-cli/dfu-util\n";
    int status = 0;
    // The last row: a device that is busy 5 ms with each block and asks to
    // be left alone that long between status requests.
    const struct
    {
        int transferSize;
        int pollTimeout;
        int busyMs;
    } rows[] = { { 1024, 0, 0 }, { 4096, 0, 0 }, { 1024, 5, 5 } };
    for (const auto &row : rows) {
        const int transferSize = row.transferSize;
        EmulatedDfuDevice::Config config;
        config.transferSize = quint16(transferSize);
        config.pollTimeout = quint32(row.pollTimeout);
        config.busyMs = row.busyMs;
        EmulatedDfuDevice device(config);
        if (device.plug(testbed).isEmpty()) {
            std::fprintf(stderr, "dfu-benchmark: cannot add the emulated device\n");
            return 2;
        }
        const double ours = best([&] { return oursOnce(device, path, image); });
        // The benchmark image is named for no model: --force.
        const double cli = best([&] {
            return programOnce(device, QStringLiteral(VORNIC_CLI),
                               { QStringLiteral("update"), QStringLiteral("1-3"), path, QStringLiteral("--force") },
                               image);
        });
        const double theirs = best([&] {
            return programOnce(device, dfuUtil,
                               { QStringLiteral("-d"), QStringLiteral("3b5d:8001"), QStringLiteral("-a"),
                                 QStringLiteral("0"), QStringLiteral("-D"), path },
                               image);
        });
        device.unplug(testbed);
        const QString label = QString::number(transferSize)
            + (row.busyMs ? QStringLiteral(", busy %1 ms, asks %2 ms").arg(row.busyMs).arg(row.pollTimeout) : QString());
        if (ours < 0 || cli < 0 || theirs < 0) {
            out << label.rightJustified(13) << "   a download failed or the bytes differ\n";
            status = 1;
            continue;
        }
        out << label.rightJustified(13) << QString::number(ours, 'f', 3).rightJustified(13)
            << QString::number(cli, 'f', 3).rightJustified(17) << QString::number(theirs, 'f', 3).rightJustified(15)
            << QString::number(ours / theirs, 'f', 2).rightJustified(18)
            << QString::number(cli / theirs, 'f', 2).rightJustified(22) << "\n";
        out.flush();
    }
    return status;
}
