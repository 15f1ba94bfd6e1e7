// The parent of a multi-device update against device processes that do not
// behave: one that cannot be started, one that floods its output. Each ends
// its own device's wait with a failure named for that device, the others
// still count, and the parent neither hangs nor holds the flood.
#include "fleetupdate.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/resource.h>

class FleetUpdateTest : public QObject
{
    Q_OBJECT
private slots:
    void misbehavingDeviceProcesses_data();
    void misbehavingDeviceProcesses();
};

void FleetUpdateTest::misbehavingDeviceProcesses_data()
{
    // A stand-in for vornic-cli: device "good" succeeds with a result, the
    // others do what the row says.
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("cannot be started") << QString() << 1 << "could not be started";
    QTest::newRow("floods its result") << "head -c 200000000 /dev/zero; echo 'vornic-cli: flooded' >&2; exit 6" << 6
                                       << "flooded";
}

void FleetUpdateTest::misbehavingDeviceProcesses()
{
    QFETCH(QString, behaviour);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QString program = dir.filePath(QStringLiteral("missing"));
    if (!behaviour.isEmpty()) {
        program = dir.filePath(QStringLiteral("device.sh"));
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nif [ \"$2\" = good ]; then\n"
                     "  echo '[{\"message\":\"Updated good\",\"bytes\":5,\"verified\":true}]'; exit 0\nfi\n"
                     + behaviour.toUtf8() + "\n");
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    QVERIFY(out && err);
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    QElapsedTimer clock;
    clock.start();
    FleetUpdate fleet(out, err);
    const QStringList devices = behaviour.isEmpty() ? QStringList { "bad", "worse" } : QStringList { "good", "bad" };
    const int code = fleet.run(program, devices, QStringLiteral("IMAGE.IN2"), QByteArray("image"), QStringList(), true);
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    // The flood is 200 MB; what this process grew by (kB) stays far below.
    // (A sanitizer's allocator keeps freed memory a while: not there.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    QVERIFY2(after.ru_maxrss - before.ru_maxrss < 50 * 1024, qPrintable(QString::number(after.ru_maxrss)));
#endif

    QCOMPARE(code, exitCode);
    std::rewind(out);
    QByteArray json;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
        json.append(buffer, int(n));
    const QJsonArray results = QJsonDocument::fromJson(json).array();
    QCOMPARE(results.size(), devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        const QJsonObject result = results.at(i).toObject();
        QCOMPARE(result.value(QStringLiteral("device")).toString(), devices.at(i));
        const bool good = devices.at(i) == QLatin1String("good");
        QCOMPARE(result.value(QStringLiteral("exitCode")).toInt(), good ? 0 : exitCode);
        QCOMPARE(result.value(QStringLiteral("verified")).toBool(), good);
        const QString text = result.value(QStringLiteral("message")).toString();
        QVERIFY2(good ? text == QLatin1String("Updated good") : text.contains(message), qPrintable(text));
    }
    std::fclose(out);
    std::fclose(err);
}

QTEST_GUILESS_MAIN(FleetUpdateTest)
#include "tst_fleetupdate.moc"
