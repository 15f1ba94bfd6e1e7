// What the update history costs: the rows one update adds (open, begin,
// describe, finish) in the SQLite file, beside the whole of one network
// update by vornic-cli against the simulated device; and how fast
// `vornic-cli history` answers over 100 000 rows.
#include "updatehistory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values.at(values.size() / 2);
}

// Milliseconds one run of vornic-cli takes, or -1 when it failed.
double runCli(const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(VORNIC_CLI), arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return -1;
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
    for (int i = 0; i < 51; ++i) {
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

    // 2. One whole network update (a 64 KiB 'I' image, checked), for scale.
    QProcess device;
    device.start(QStringLiteral(NETWORK_DEVICE_SIM), { QStringLiteral("--port"), QStringLiteral("10599"),
                                                       QStringLiteral("--serial"), QStringLiteral("04E2E5F6") });
    device.waitForStarted();
    QThread::msleep(300);
    const QString image = dir.filePath(QStringLiteral("DG_BENCH.IN2"));
    {
        QFile file(image);
        file.open(QIODevice::WriteOnly);
        QByteArray bytes(64 * 1024, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 131 + 7);
        file.write(bytes);
    }
    std::vector<double> updates;
    for (int i = 0; i < 5; ++i) {
        const double ms = runCli({ QStringLiteral("update"), QStringLiteral("127.0.0.1:10599"), image });
        if (ms >= 0)
            updates.push_back(ms);
    }
    device.kill();
    device.waitForFinished();

    std::printf("%-44s %10s\n", "", "ms (median)");
    std::printf("%-44s %10.2f\n", "history of one update (open, 3 writes)", median(perUpdate));
    std::printf("%-44s %10.2f\n", "  slowest of 50", *std::max_element(perUpdate.begin(), perUpdate.end()));
    std::printf("%-44s %10.1f\n", "one network update by vornic-cli, 64 KiB", median(updates));

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
