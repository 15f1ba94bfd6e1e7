// A production station's pace: vornic-cli writing 8 devices at once against
// writing one, with emulated DFU devices in their bootloader (128 KiB each,
// busy 5 or 20 ms with every block, as a flash is) and with simulated
// network devices answering after 2 ms (64 KiB each).
// Prints both times (best of a few runs) and their ratio.
#include "emulateddfudevice.h"
#include "simulateddevice.h"
#include "usbtestbed.h"

#include "benchmarkimage.h"
#include "bestof.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <functional>
#include <memory>
#include <vector>

namespace {

const int fleetSize = 8;
const int runs = 3;

// CPU time of the last run: all vornic-cli processes together, and this
// process (the emulated USB devices answer every request here; the network
// devices too).
double programCpu = 0;
double emulatorCpu = 0;
// The programs reach the emulated USB devices by their fast channels.
bool fastChannels = false;

double cpuSeconds(const rusage &from, const rusage &to)
{
    return double(to.ru_utime.tv_sec - from.ru_utime.tv_sec) + double(to.ru_stime.tv_sec - from.ru_stime.tv_sec)
        + double((to.ru_utime.tv_usec - from.ru_utime.tv_usec) + (to.ru_stime.tv_usec - from.ru_stime.tv_usec)) / 1e6;
}

// Seconds for one vornic-cli run that must succeed, or a negative number.
double cliOnce(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (fastChannels)
        environment.insert(QStringLiteral("LD_PRELOAD"),
                           QStringLiteral(FAST_USB_SHIM ":") + environment.value(QStringLiteral("LD_PRELOAD")));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    rusage before {}, selfBefore {};
    getrusage(RUSAGE_CHILDREN, &before);
    getrusage(RUSAGE_SELF, &selfBefore);
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(VORNIC_CLI), arguments);
    if (!process.waitForFinished(300000))
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    rusage after {}, selfAfter {};
    getrusage(RUSAGE_CHILDREN, &after);
    getrusage(RUSAGE_SELF, &selfAfter);
    programCpu = cpuSeconds(before, after);
    emulatorCpu = cpuSeconds(selfBefore, selfAfter);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s\n", process.readAll().constData());
        return -1;
    }
    return seconds;
}

struct Figure
{
    double seconds = -1;
    double programCpu = 0;
    double emulatorCpu = 0;
};

// The best run, with the CPU time it took.
Figure best(const std::function<double()> &run)
{
    Figure figure;
    double fastest = -1;
    figure.seconds = bestOf(runs, [&] {
        const double seconds = run();
        if (seconds >= 0 && (fastest < 0 || seconds < fastest)) {
            fastest = seconds;
            figure.programCpu = programCpu;
            figure.emulatorCpu = emulatorCpu;
        }
        return seconds;
    });
    return figure;
}

void row(const char *name, const Figure &one, const Figure &all)
{
    if (one.seconds < 0 || all.seconds < 0) {
        std::printf("%-36s a run failed\n", name);
        return;
    }
    // What the run at once cost the machine: with every core busy it cannot
    // take less than its CPU time over the cores.
    const int cores = std::max(1, QThread::idealThreadCount());
    const double floor = (all.programCpu + all.emulatorCpu) / cores;
    std::printf("%-36s %10.3f %14.3f %10.2f %14.3f %12.3f %10.2f\n", name, one.seconds, all.seconds,
                all.seconds / one.seconds, all.programCpu, all.emulatorCpu, floor / one.seconds);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    UsbTestbed testbed;
    if (!testbed.isValid()) {
        std::fprintf(stderr, "fleet-benchmark: run it under umockdev-wrapper (scripts/fleet-benchmark.sh does)\n");
        return 2;
    }
    QTemporaryDir dir;
    const auto store = [&dir](const QString &name, const QByteArray &bytes) {
        const QString path = dir.filePath(name);
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
    };
    const QByteArray usbImage = benchmarkImage(128 * 1024);
    const QByteArray netImage = benchmarkImage(64 * 1024);
    const QString usbPath = store(QStringLiteral("BENCH.INC"), usbImage);
    const QString netPath = store(QStringLiteral("BENCH.IN2"), netImage);

    // Two kinds of device: one whose flash takes 5 ms a block, one 20 ms;
    // each reached two ways. Through umockdev every USB request of every
    // device passes to one thread of this process and back, several socket
    // round trips each, on the same cores as the programs: the "CPU floor"
    // column (CPU time of the run at once over the cores, against one
    // device's time) shows how much of the ratio the machine's CPU alone
    // sets. Through the devices' fast channels (FastUsbChannel) a request is
    // one message each way, handled on a thread of its device, as real
    // devices answer side by side; the programs and libusb are the same.
    int nextPort = 1;
    int status = 0;
    std::printf("%d devices at once against one, best of %d runs (vornic-cli, process start included);\n"
                "CPU: seconds of the best run at once; CPU floor: that CPU over %d cores, against one\n",
                fleetSize, runs, std::max(1, QThread::idealThreadCount()));
    std::printf("%-36s %10s %14s %10s %14s %12s %10s\n", "", "one (s)", "all at once (s)", "ratio",
                "CPU vornic-cli", "CPU emulator", "CPU floor");
    for (const int road : { 0, 1 }) {
        fastChannels = road == 1;
        EmulatedDfuDevice::setFastChannels(fastChannels);
        for (const int busyMs : { 5, 20 }) {
            std::vector<std::unique_ptr<EmulatedDfuDevice>> usb;
            QStringList usbNames;
            for (int i = 0; i < fleetSize; ++i) {
                EmulatedDfuDevice::Config config;
                config.port = "1-" + QByteArray::number(nextPort);
                config.deviceNumber = 10 + nextPort * 3;
                config.serial = "0500B0" + QByteArray::number(10 + nextPort);
                ++nextPort;
                config.busyMs = busyMs;
                config.pollTimeout = quint32(busyMs);
                usb.emplace_back(new EmulatedDfuDevice(config));
                if (usb.back()->plug(testbed).isEmpty()) {
                    std::fprintf(stderr, "fleet-benchmark: cannot add an emulated device\n");
                    return 2;
                }
                usbNames << QString::fromLatin1(config.port);
            }
            // Model checks are beside the point here: --force.
            const Figure one = best([&] { return cliOnce(QStringList { "update", usbNames.first(), usbPath, "--force" }); });
            const Figure all = best([&] { return cliOnce(QStringList { "update" } + usbNames + QStringList { usbPath, "--force" }); });
            const QString name = QStringLiteral("USB DFU, 128 KiB, %1 ms/block").arg(busyMs);
            row(qPrintable(fastChannels ? name + QStringLiteral(", fast") : name), one, all);
            for (int i = 0; i < fleetSize; ++i) {
                if (usb[size_t(i)]->downloaded() != usbImage) {
                    std::fprintf(stderr, "fleet-benchmark: %s does not hold the image\n", qPrintable(usbNames.at(i)));
                    status = 1;
                }
                // The road measured is the road named.
                if ((usb[size_t(i)]->fastTransfers() > 0) != fastChannels) {
                    std::fprintf(stderr, "fleet-benchmark: %s was not reached by the road named\n",
                                 qPrintable(usbNames.at(i)));
                    status = 1;
                }
                usb[size_t(i)]->unplug(testbed);
            }
            if (one.seconds < 0 || all.seconds < 0)
                status = 1;
        }
    }
    fastChannels = false;
    EmulatedDfuDevice::setFastChannels(false);

    std::vector<std::unique_ptr<SimulatedDevice>> network;
    QStringList netNames;
    for (int i = 0; i < fleetSize; ++i) {
        NetworkDeviceSimulator::Options options;
        options.port = 0;
        options.recordDelay = 2;
        // Eight devices, not one at eight addresses (which is refused).
        options.serialNumber = QByteArray("0500A1B") + QByteArray::number(i);
        network.emplace_back(new SimulatedDevice(options));
        netNames << QStringLiteral("127.0.0.1:%1").arg(network.back()->port());
    }

    const QStringList force { QStringLiteral("--force") };
    const Figure netOne = best([&] { return cliOnce(QStringList { "update", netNames.first(), netPath } + force); });
    const Figure netAll = best([&] { return cliOnce(QStringList { "update" } + netNames + QStringList { netPath } + force); });
    row("network, 64 KiB, 2 ms", netOne, netAll);
    for (int i = 0; i < fleetSize; ++i) {
        if (network[size_t(i)]->checkedImage() != netImage) {
            std::fprintf(stderr, "fleet-benchmark: %s does not hold the image\n", qPrintable(netNames.at(i)));
            return 1;
        }
    }
    return netOne.seconds < 0 || netAll.seconds < 0 ? 1 : status;
}
