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
    void identitiesBeforeTheImage_data();
    void identitiesBeforeTheImage();
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
    const int code = fleet.run(program, devices, QStringList(), QStringLiteral("IMAGE.IN2"), QByteArray("image"),
                               QStringList(), true);
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

void FleetUpdateTest::identitiesBeforeTheImage_data()
{
    // Each stand-in says "identity SERIAL" (its device's serial, from the
    // row; "-" says nothing and fails) and keeps what arrives on its input.
    QTest::addColumn<QStringList>("devices");       // name=serial; "usb" identifies nothing
    QTest::addColumn<QString>("refusal");
    QTest::newRow("three devices, one on USB") << QStringList { "a=0500A1B2", "usb", "b=0500C3D4" } << QString();
    QTest::newRow("one device under two addresses")
        << QStringList { "a=0500A1B2", "usb", "b=0500C3D4", "c=0500A1B2" }
        << "a=0500A1B2 and c=0500A1B2 name the same device (serial number 0500A1B2); name each device once.";
    QTest::newRow("one ends without saying who it is") << QStringList { "a=-", "b=0500C3D4" } << QString();
}

void FleetUpdateTest::identitiesBeforeTheImage()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, refusal);
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("device.sh"));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    // The serial is said only after a pause: an image sent to anyone before
    // every device has spoken would be seen in the files.
    script.write(R"(#!/bin/sh
serial=${2#*=}
sleep 0.2
if [ "$serial" = - ]; then echo 'vornic-cli: no answer' >&2; exit 3; fi
[ "$serial" = usb ] || echo "identity $serial" >&2
cat > "$(dirname "$0")/${2%=*}.got"
echo '[{"message":"done"}]'
)");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    FleetUpdate fleet(out, err);
    const int code = fleet.run(program, devices, devices.filter(QLatin1String("=")), QStringLiteral("IMAGE.IN2"),
                               QByteArray("image"), QStringList(), true);
    QCOMPARE(code, refusal.isEmpty() ? (devices.contains("a=-") ? 3 : 0) : -1);
    QCOMPARE(fleet.refusal(), refusal);
    // Every device that ran took the whole image, or, refused, nothing.
    for (const QString &device : devices) {
        QFile got(dir.filePath(device.section(QLatin1Char('='), 0, 0) + ".got"));
        if (device == QLatin1String("a=-"))
            QVERIFY(!got.exists());
        else
            QVERIFY2(got.open(QIODevice::ReadOnly) && got.readAll() == (refusal.isEmpty() ? "image" : ""),
                     qPrintable(device));
    }
    std::fclose(out);
    std::fclose(err);
}

QTEST_GUILESS_MAIN(FleetUpdateTest)
#include "tst_fleetupdate.moc"
