// The production station's pace and stamina, with the station's engine and
// its hot-plug feed in this process and emulated DFU devices (Dongara, in
// their bootloader) plugged in while it runs:
//   1. one device against 8 plugged in at once (128 KiB each, a flash that
//      is busy 20 ms with every block, read back after writing): the time
//      from the first plug to the last device done, best of 3;
//   2. from each device's plug to its first block;
//   3. a soak of ARRIVALS devices (4 KiB, no flash time), four at a time on
//      four ports: resident memory at checkpoints, file descriptors and
//      threads before and after, and history rows against devices done.
// Usage: station-benchmark [ARRIVALS]   (1000 unless given; 0: no soak)
#include "emulateddfudevice.h"
#include "usbtestbed.h"

#include "benchmarkimage.h"
#include "residentmemory.h"
#include "update/productionstation.h"
#include "update/stationwatch.h"
#include "updatehistory.h"
#include "updaterecord.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int burstSize = 8;
const int runs = 3;
const int soakPorts = 4;

struct Run
{
    double seconds = -1;            // first plug to last device done
    double worstFirstBlockMs = -1;  // plug to first block, the slowest device
    double firstBlockMs = -1;       // ... the first device plugged
};

// Runs the event loop until `done` holds or `timeoutMs` passes.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// When the device took its first block (epoch ms), or -1.
qint64 firstBlockAt(const EmulatedDfuDevice &device)
{
    for (const EmulatedDfuDevice::Request &request : device.requests()) {
        if (request.requestType == 0x21 && request.request == 1 && request.length > 0)
            return request.time;
    }
    return -1;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

int threads()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

// Starts `station`, fed by `feed`, counting the devices done and those
// that were not (failed or skipped).
void startCounting(ProductionStation &station, StationWatch &feed, const QString &imagePath, int *done, int *failed)
{
    QObject::connect(&station, &ProductionStation::happened, [done, failed](const ProductionStation::Event &event) {
        if (event.kind == ProductionStation::Event::Done)
            ++*done;
        else if (event.kind == ProductionStation::Event::Failed || event.kind == ProductionStation::Event::Skipped)
            ++*failed;
    });
    feed.start();
    station.start(FirmwareImage::read(imagePath), ProductionStation::Options());
}

class Bench
{
public:
    Bench(UsbTestbed &testbed, const QString &imagePath, const QByteArray &image)
        : m_testbed(testbed), m_imagePath(imagePath), m_image(image)
    {
    }

    // `count` devices plugged in one after the other, as fast as can be,
    // into a running station; false when one is not written whole.
    Run burst(int count, int busyMs)
    {
        ProductionStation station;
        StationWatch feed(&station);
        int done = 0;
        int failed = 0;
        startCounting(station, feed, m_imagePath, &done, &failed);
        std::vector<std::unique_ptr<EmulatedDfuDevice>> devices;
        std::vector<qint64> pluggedAt;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < count; ++i) {
            devices.emplace_back(new EmulatedDfuDevice(dongara(i, "04E2", busyMs)));
            pluggedAt.push_back(QDateTime::currentMSecsSinceEpoch());
            if (devices.back()->plug(m_testbed).isEmpty())
                return Run();
        }
        const bool ended = waitFor([&] { return done + failed == count; }, 300000);
        Run run;
        run.seconds = timer.nsecsElapsed() / 1e9;
        for (int i = 0; i < count; ++i) {
            const qint64 first = firstBlockAt(*devices[size_t(i)]);
            if (first < 0)
                return Run();
            const double ms = double(first - pluggedAt[size_t(i)]);
            run.worstFirstBlockMs = std::max(run.worstFirstBlockMs, ms);
            if (i == 0)
                run.firstBlockMs = ms;
        }
        bool whole = ended && failed == 0;
        for (auto &device : devices) {
            whole = whole && device->downloaded() == m_image;
            device->unplug(m_testbed);
        }
        station.stop();
        return whole ? run : Run();
    }

    // A Dongara in its bootloader on port `slot`, at a new address and
    // with a serial number of its own, as each device arriving is.
    EmulatedDfuDevice::Config dongara(int slot, const QByteArray &serialPrefix, int busyMs)
    {
        m_address = m_address >= 120 ? 2 : m_address + 1;
        EmulatedDfuDevice::Config config;
        config.at("1-" + QByteArray::number(3 + slot), m_address);
        config.productId = 0x8015;
        config.product = "Dongara NET";
        config.serial = serialPrefix + QByteArray::number(++m_serial);
        config.initialState = EmulatedDfuDevice::DfuIdle;
        config.canUpload = true;
        config.busyMs = busyMs;
        config.pollTimeout = quint32(busyMs);
        return config;
    }

private:
    UsbTestbed &m_testbed;
    QString m_imagePath;
    QByteArray m_image;
    int m_address = 2;
    int m_serial = 1000;
};

Run best(const std::function<Run()> &once)
{
    Run result;
    for (int i = 0; i < runs; ++i) {
        const Run run = once();
        if (run.seconds < 0)
            return Run();
        if (result.seconds < 0 || run.seconds < result.seconds)
            result = run;
    }
    return result;
}

// The soak: `arrivals` devices, `soakPorts` at a time; true when memory
// stays flat, nothing is left behind and every device done has its row.
bool soak(UsbTestbed &testbed, Bench &bench, const QString &imagePath, const QByteArray &image, int arrivals)
{
    const int descriptorsBefore = openDescriptors();
    const int threadsBefore = threads();
    int done = 0;
    int failed = 0;
    {
        ProductionStation station;
        StationWatch feed(&station);
        startCounting(station, feed, imagePath, &done, &failed);
        ResidentMemory memory(QStringLiteral("station soak"), arrivals);
        QElapsedTimer timer;
        timer.start();
        for (int arrived = 0; arrived < arrivals;) {
            std::vector<std::unique_ptr<EmulatedDfuDevice>> devices;
            const int ended = done + failed;
            const int now = std::min(soakPorts, arrivals - arrived);
            for (int i = 0; i < now; ++i) {
                devices.emplace_back(new EmulatedDfuDevice(bench.dongara(i, "04E3", 0)));
                if (devices.back()->plug(testbed).isEmpty())
                    return false;
            }
            if (!waitFor([&] { return done + failed == ended + now; }, 60000)) {
                std::fprintf(stderr, "station soak: a device was not done within 60 s\n");
                return false;
            }
            for (auto &device : devices) {
                if (device->downloaded() != image)
                    ++failed;
                device->unplug(testbed);
            }
            for (int i = 0; i < now; ++i)
                memory.cycleDone(++arrived);
        }
        // The last look sees the devices gone.
        waitFor([] { return false; }, 1500);
        station.stop();
        std::printf("station soak: %d arrivals in %.0f s, %d done, %d failed\n", arrivals, timer.elapsed() / 1000.0,
                    done, failed);
        if (!memory.verdict(2048))
            failed = std::max(failed, 1);
    }
    // What the station's threads and listings leave once it is gone.
    waitFor([] { return false; }, 500);
    const int descriptorsAfter = openDescriptors();
    const int threadsAfter = threads();
    std::printf("station soak: file descriptors %d before, %d after; threads %d before, %d after\n",
                descriptorsBefore, descriptorsAfter, threadsBefore, threadsAfter);
    UpdateHistory history(QStringLiteral("vornic"), QString(), UpdateRecord::settingsFile(QStringLiteral("Vornic")));
    UpdateHistory::Filter filter;
    filter.thisProcess = true;
    QVector<UpdateHistory::Entry> rows;
    history.read(filter, &rows);
    int rowsDone = 0;
    for (const UpdateHistory::Entry &row : qAsConst(rows)) {
        if (row.serialNumber.startsWith(QLatin1String("04E3")) && row.verified)
            ++rowsDone;
    }
    std::printf("station soak: %d history rows of devices done, for %d devices done\n", rowsDone, done);
    return failed == 0 && done == arrivals && rowsDone == done && descriptorsAfter <= descriptorsBefore
        && threadsAfter <= threadsBefore;
}

} // namespace

int main(int argc, char **argv)
{
    // The history and settings of a run of our own, never the user's.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    QCoreApplication app(argc, argv);
    const int arrivals = argc > 1 ? std::max(0, atoi(argv[1])) : 1000;
    UsbTestbed testbed;
    if (!testbed.isValid()) {
        std::fprintf(stderr, "station-benchmark: run it under umockdev-wrapper (scripts/station-benchmark.sh does)\n");
        return 2;
    }
    const bool fast = qEnvironmentVariableIsSet("STATION_BENCHMARK_FAST");
    EmulatedDfuDevice::setFastChannels(fast);
    const auto store = [&home](const QString &name, const QByteArray &bytes) {
        const QString path = home.filePath(name);
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
    };
    const QByteArray image = benchmarkImage(128 * 1024);
    const QString imagePath = store(QStringLiteral("DG_STATION.IN2"), image);
    const QByteArray small = benchmarkImage(4 * 1024);
    const QString smallPath = store(QStringLiteral("DG_SOAK.IN2"), small);
    Bench bench(testbed, imagePath, image);
    int status = 0;

    std::printf("Production station, emulated devices%s; 128 KiB, busy 20 ms a block, read back; best of %d\n",
                fast ? " through their fast channels" : " through umockdev", runs);
    const Run one = best([&] { return bench.burst(1, 20); });
    const Run all = best([&] { return bench.burst(burstSize, 20); });
    if (one.seconds < 0 || all.seconds < 0) {
        std::printf("a run failed\n");
        return 1;
    }
    std::printf("one device: %.2f s; %d plugged at once: %.2f s; ratio %.2f\n", one.seconds, burstSize, all.seconds,
                all.seconds / one.seconds);
    std::printf("plug to first block: %.0f ms for one device; %.0f ms for the first of %d, %.0f ms at worst\n",
                one.firstBlockMs, all.firstBlockMs, burstSize, all.worstFirstBlockMs);
    std::fflush(stdout);
    if (arrivals > 0 && !soak(testbed, bench, smallPath, small, arrivals))
        status = 1;
    std::printf("%s\n", status == 0 ? "station-benchmark: every device written whole, the soak bounded" : "station-benchmark: FAILED");
    return status;
}
