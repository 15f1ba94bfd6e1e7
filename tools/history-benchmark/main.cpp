// What the update history costs: the rows one update adds (open, begin,
// describe, finish) in the SQLite file; one network and one USB update by
// vornic-cli, against the simulated and the emulated device, with the
// history and without it; and how fast `vornic-cli history` answers over
// 100 000 rows.
#include "updatehistory.h"

#include "emulateddfudevice.h"
#include "usbtestbed.h"

#include "benchmarkimage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Runs of each whole update, with the history and without (a USB update
// is short, and its runs vary more under the emulation: more of them).
const int networkRuns = 15;
const int usbRuns = 41;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values.at(values.size() / 2);
}

// Milliseconds one run of vornic-cli takes, or -1 when it failed. Only a
// USB update runs in the emulation (which slows every file operation down,
// the history's too); the rest as on a real station.
double runCli(const QStringList &arguments, QByteArray *output = nullptr, bool emulatedUsb = false)
{
    QProcess process;
    if (!emulatedUsb) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("LD_PRELOAD"));
        environment.remove(QStringLiteral("UMOCKDEV_DIR"));
        process.setProcessEnvironment(environment);
    }
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(VORNIC_CLI), arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        std::fprintf(stderr, "%s", process.readAllStandardError().constData());
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return clock.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());

    // 1. The history's own work for one update, as a command line does it:
    //    a new connection, the row begun, described and finished.
    std::vector<double> perUpdate;
    //    Enough of them that the write-ahead log, kept between connections,
    //    is copied into the file at least once.
    const int updates = 500;
    for (int i = 0; i <= updates; ++i) {
        QElapsedTimer clock;
        clock.start();
        UpdateHistory history(QStringLiteral("history-benchmark"), QStringLiteral("1"), QString());
        UpdateHistory::Entry entry;
        entry.road = QStringLiteral("network");
        entry.place = QStringLiteral("127.0.0.1:10102");
        history.begin(&entry);
        entry.serialNumber = QStringLiteral("04E2E5F6");
        entry.imageSha256 = QString(64, QLatin1Char('a'));
        history.describe(entry);
        entry.outcome = QStringLiteral("updated");
        history.finish(entry);
        if (!history.problem().isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(history.problem()));
            return 1;
        }
        if (i > 0)                      // the first one creates the file
            perUpdate.push_back(clock.nsecsElapsed() / 1e6);
    }

    // 2. Whole updates by vornic-cli, 64 KiB each, with the history and
    //    without it ([history] enabled=false); the runs alternate, so that
    //    whatever else the machine does weighs on both alike.
    const QByteArray bytes = benchmarkImage(64 * 1024);
    const QString networkImage = dir.filePath(QStringLiteral("DG_BENCH.IN2"));
    const QString usbImage = dir.filePath(QStringLiteral("BENCH.INC"));
    for (const QString &path : { networkImage, usbImage }) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "history-benchmark: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    const QString settingsFile = dir.filePath(QStringLiteral("Ordane/Vornic.ini"));
    const auto keepHistory = [&settingsFile](bool on) {
        QSettings settings(settingsFile, QSettings::IniFormat);
        settings.setValue(QStringLiteral("history/enabled"), on);
        settings.sync();
    };
    const auto withAndWithout = [&](int runs, bool usb, const QStringList &arguments,
                                    const std::function<bool()> &wrote) {
        std::vector<double> times[2];
        for (int i = 0; i < 2 * runs; ++i) {
            keepHistory(i % 2 == 0);
            const double ms = runCli(arguments, nullptr, usb);
            if (ms < 0 || !wrote())
                return false;
            times[i % 2].push_back(ms);
        }
        keepHistory(true);
        // Each run with the history beside the run without it that followed.
        std::vector<double> pairs;
        for (int i = 0; i < runs; ++i)
            pairs.push_back(times[0][i] - times[1][i]);
        // (Not the best runs: under the emulation a USB update's time has
        // two humps, and the best of each side may come from different ones.)
        std::printf("%-44s %10.1f\n", "  with the history", median(times[0]));
        std::printf("%-44s %10.1f\n", "  without", median(times[1]));
        std::printf("%-44s %10.1f\n", "  difference (median of the pairs)", median(pairs));
        return true;
    };

    QProcess device;
    device.start(QStringLiteral(NETWORK_DEVICE_SIM), { QStringLiteral("--port"), QStringLiteral("10599"),
                                                       QStringLiteral("--serial"), QStringLiteral("04E2E5F6") });
    device.waitForStarted();
    QThread::msleep(300);
    std::printf("%-44s %10s\n", "", "ms (median)");
    std::printf("%-44s %10.2f\n", "history of one update (open, 3 writes)", median(perUpdate));
    std::printf("%-44s %10.2f\n", "  slowest of 500", *std::max_element(perUpdate.begin(), perUpdate.end()));
    std::printf("%-44s %10lld KiB\n", "  write-ahead log after 500",
                QFileInfo(UpdateHistory::defaultFile() + QStringLiteral("-wal")).size() / 1024);
    std::printf("one network update by vornic-cli, 64 KiB (%d runs each)\n", networkRuns);
    const bool networkDone = withAndWithout(networkRuns, false, { QStringLiteral("update"), QStringLiteral("127.0.0.1:10599"),
                                              networkImage },
                                            [] { return true; });
    device.kill();
    device.waitForFinished();
    if (!networkDone) {
        std::fprintf(stderr, "history-benchmark: a network update failed\n");
        return 1;
    }

    UsbTestbed testbed;
    if (!testbed.isValid()) {
        std::fprintf(stderr, "history-benchmark: run it under umockdev-wrapper (scripts/history-benchmark.sh does)\n");
        return 1;
    }
    const EmulatedDfuDevice::Config config;
    EmulatedDfuDevice usbDevice(config);
    const bool plugged = !usbDevice.plug(testbed).isEmpty();
    std::printf("one USB update by vornic-cli, 64 KiB (%d runs each)\n", usbRuns);
    // The benchmark image is named for no model: --force.
    if (!plugged
        || !withAndWithout(usbRuns, true, { QStringLiteral("update"), QString::fromLatin1(config.port), usbImage, QStringLiteral("--force") }, [&] {
               const bool same = usbDevice.downloaded() == bytes;
               usbDevice.reset();
               return same;
           })) {
        std::fprintf(stderr, "history-benchmark: a USB update failed or wrote other bytes\n");
        return 1;
    }
    usbDevice.unplug(testbed);

    // 3. 100 000 rows, then the history command.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(UpdateHistory::defaultFile());
        db.open();
        QSqlQuery query(db);
        query.exec(QStringLiteral("BEGIN"));
        query.prepare(QStringLiteral("INSERT INTO updates (started, ended, program, version, road, model, "
                                     "serial_number, place, image_path, image_size, image_sha256, outcome, verified) "
                                     "VALUES (?, ?, 'vornic-cli', '2.1.6', 'usb', 'Primora', ?, ?, '/fw/PR.INC', "
                                     "65536, ?, 'updated', 1)"));
        const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-400);
        for (int i = 0; i < 100000; ++i) {
            const QString time = start.addSecs(i * 300).toString(Qt::ISODateWithMs);
            query.addBindValue(time);
            query.addBindValue(time);
            query.addBindValue(QStringLiteral("0500%1").arg(i % 5000, 4, 16, QLatin1Char('0')).toUpper());
            query.addBindValue(QStringLiteral("1-%1").arg(i % 12 + 1));
            query.addBindValue(QString(64, QLatin1Char('b')));
            query.exec();
        }
        query.exec(QStringLiteral("COMMIT"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    const struct
    {
        const char *label;
        QStringList arguments;
    } reads[] = {
        { "history over 100 000 rows (newest 100)", { "history" } },
        { "history --device SERIAL (20 rows)", { "history", "--device", "05000ABC" } },
        { "history --since 30 days ago --json", { "history", "--since",
                                                   QDate::currentDate().addDays(-30).toString(Qt::ISODate), "--json" } },
        { "history --csv --limit 0 (all 100 000)", { "history", "--csv", "--limit", "0" } },
    };
    for (const auto &read : reads) {
        std::vector<double> times;
        QByteArray output;
        for (int i = 0; i < 5; ++i)
            times.push_back(runCli(read.arguments, &output));
        std::printf("%-44s %10.1f  (%d lines)\n", read.label, median(times), int(output.count('\n')));
    }
    return 0;
}
