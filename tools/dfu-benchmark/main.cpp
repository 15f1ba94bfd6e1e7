// Writes a 1 MiB image into an emulated DFU device with transfer sizes 1024
// and 4096 through our engine, through vornic-cli and through dfu-util, and
// prints the times and their ratios. Each figure is the best of a few runs;
// the two programs' times include starting the process.
#include "usb/dfuengine.h"
#include "usb/dfuprotocol.h"

#include "emitter.h"
#include "emulateddfudevice.h"
#include "usbtestbed.h"

#include "benchmarkimage.h"
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

// Seconds for one run of our engine on the emulated device, set up by
// `setUp` and found sound by `sound` afterwards, or a negative number.
double engineOnce(const QString &path, const std::function<void(DfuEngine &)> &setUp,
                  const std::function<bool(const DfuEngine &)> &sound)
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return -1;
    libusb_device *usbDevice = EmulatedDfuDevice::findOnBus(context);
    double seconds = -1;
    if (usbDevice) {
        Emitter emitter;
        DfuEngine engine(&emitter);
        setUp(engine);
        QElapsedTimer timer;
        timer.start();
        const int result = engine.update(usbDevice, path);
        seconds = timer.nsecsElapsed() / 1e9;
        if (result != 0 || !sound(engine))
            seconds = -1;
        libusb_unref_device(usbDevice);
    }
    libusb_exit(context);
    return seconds;
}

// Seconds for one download through our engine (read back and compared with
// `verify`), or a negative number.
double oursOnce(EmulatedDfuDevice &device, const QString &path, const QByteArray &image, bool verify)
{
    device.reset();
    return engineOnce(
        path, [verify](DfuEngine &engine) { engine.setVerify(verify); },
        [&](const DfuEngine &engine) {
            return device.downloaded() == image && (!verify || engine.verification() == DfuEngine::Verified);
        });
}

// Seconds for one run of `program` (process start included), or negative.
double programOnce(EmulatedDfuDevice &device, const QString &program, const QStringList &arguments,
                   const QByteArray &image, bool reset = true)
{
    if (reset)
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

// Seconds for one read of the device's image through our engine, or a
// negative number when it is not `image`.
double engineReadOnce(const QByteArray &image)
{
    QByteArray firmware;
    return engineOnce(
        QString(), [&firmware](DfuEngine &engine) { engine.setReadInto(&firmware); },
        [&](const DfuEngine &) { return firmware == image; });
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
    const QByteArray image = benchmarkImage(imageSize);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        std::fprintf(stderr, "dfu-benchmark: cannot write %s\n", qPrintable(path));
        return 2;
    }
    file.close();

    // --read: the reading rows alone.
    const bool readOnly = app.arguments().contains(QStringLiteral("--read"));
    if (!readOnly) {
        out << "1 MiB image into an emulated DFU device, best of " << runs << " runs\n";
        out << "transfer size   engine (s)   vornic-cli (s)   dfu-util (s)   engine/dfu-util   vornic-cli/dfu-util\n";
    }
    int status = 0;
    // A device that is busy 5 ms with each block and asks to be left alone
    // that long between status requests; and the image written and read
    // back (dfu-util: -D, then -U into a file compared afterwards).
    const struct
    {
        int transferSize;
        int pollTimeout;
        int busyMs;
        bool verify;
    } rows[] = { { 1024, 0, 0, false }, { 4096, 0, 0, false }, { 1024, 5, 5, false }, { 1024, 0, 0, true } };
    for (const auto &row : rows) {
        if (readOnly)
            break;
        const int transferSize = row.transferSize;
        EmulatedDfuDevice::Config config;
        config.transferSize = quint16(transferSize);
        config.pollTimeout = quint32(row.pollTimeout);
        config.busyMs = row.busyMs;
        config.canUpload = row.verify;
        EmulatedDfuDevice device(config);
        if (device.plug(testbed).isEmpty()) {
            std::fprintf(stderr, "dfu-benchmark: cannot add the emulated device\n");
            return 2;
        }
        const double ours = best([&] { return oursOnce(device, path, image, row.verify); });
        // The benchmark image is named for no model: --force.
        QStringList cliArguments { QStringLiteral("update"), QStringLiteral("1-3"), path, QStringLiteral("--force") };
        if (row.verify)
            cliArguments << QStringLiteral("--verify");
        const double cli = best([&] { return programOnce(device, QStringLiteral(VORNIC_CLI), cliArguments, image); });
        const QStringList dfuUtilDevice { QStringLiteral("-d"), QStringLiteral("3b5d:8001"), QStringLiteral("-a"),
                                          QStringLiteral("0") };
        const QString readBack = dir.filePath(QStringLiteral("READ_BACK.BIN"));
        const double theirs = best([&] {
            const double written = programOnce(device, dfuUtil, dfuUtilDevice + QStringList { QStringLiteral("-D"), path },
                                               image);
            if (!row.verify || written < 0)
                return written;
            QFile::remove(readBack);
            QElapsedTimer timer;
            timer.start();
            const double read = programOnce(device, dfuUtil,
                                            dfuUtilDevice + QStringList { QStringLiteral("-U"), readBack }, image,
                                            false);
            QFile file(readBack);
            const bool same = file.open(QIODevice::ReadOnly) && file.readAll() == image;
            return read < 0 || !same ? -1.0 : written + timer.nsecsElapsed() / 1e9;
        });
        device.unplug(testbed);
        const QString label = QString::number(transferSize)
            + (row.busyMs ? QStringLiteral(", busy %1 ms, asks %2 ms").arg(row.busyMs).arg(row.pollTimeout) : QString())
            + (row.verify ? QStringLiteral(", read back") : QString());
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

    // Reading a device, and backing it up before writing: a device that
    // holds the 1 MiB image and can upload, with transfer size 1024.
    // (Backups and history rows go to the temporary folder.)
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    EmulatedDfuDevice::Config config;
    config.canUpload = true;
    config.holds = image;
    EmulatedDfuDevice device(config);
    if (device.plug(testbed).isEmpty()) {
        std::fprintf(stderr, "dfu-benchmark: cannot add the emulated device\n");
        return 2;
    }
    const QString readInto = dir.filePath(QStringLiteral("READ.BIN"));
    const auto readOnce = [&](const QString &program, const QStringList &arguments) {
        QFile::remove(readInto);
        const double seconds = programOnce(device, program, arguments, image, false);
        QFile file(readInto);
        return seconds >= 0 && file.open(QIODevice::ReadOnly) && file.readAll() == image ? seconds : -1.0;
    };
    const double engineRead = best([&] { return engineReadOnce(image); });
    const double cliRead = best([&] { return readOnce(QStringLiteral(VORNIC_CLI), { "read", "1-3", readInto }); });
    const double theirRead = best([&] {
        return readOnce(dfuUtil, { "-d", "3b5d:8001", "-a", "0", "-U", readInto });
    });
    const QStringList update { QStringLiteral("update"), QStringLiteral("1-3"), path, QStringLiteral("--force") };
    const double plain = best([&] { return programOnce(device, QStringLiteral(VORNIC_CLI), update, image, false); });
    const double backedUp = best([&] {
        return programOnce(device, QStringLiteral(VORNIC_CLI), update + QStringList { "--backup" }, image, false);
    });
    device.unplug(testbed);
    out << "\n1 MiB read from the emulated DFU device (transfer size 1024), best of " << runs << " runs\n";
    if (engineRead < 0 || cliRead < 0 || theirRead < 0 || plain < 0 || backedUp < 0) {
        out << "a read or an update failed, or the bytes differ\n";
        return 1;
    }
    out << "engine (s)   vornic-cli read (s)   dfu-util -U (s)   engine/dfu-util   vornic-cli/dfu-util\n"
        << QString::number(engineRead, 'f', 3).rightJustified(10)
        << QString::number(cliRead, 'f', 3).rightJustified(22) << QString::number(theirRead, 'f', 3).rightJustified(18)
        << QString::number(engineRead / theirRead, 'f', 2).rightJustified(18)
        << QString::number(cliRead / theirRead, 'f', 2).rightJustified(22) << "\n";
    out << "update (s)   update --backup (s)   backup's cost (s)   cost/read\n"
        << QString::number(plain, 'f', 3).rightJustified(10) << QString::number(backedUp, 'f', 3).rightJustified(22)
        << QString::number(backedUp - plain, 'f', 3).rightJustified(20)
        << QString::number((backedUp - plain) / cliRead, 'f', 2).rightJustified(12) << "\n";
    return status;
}
