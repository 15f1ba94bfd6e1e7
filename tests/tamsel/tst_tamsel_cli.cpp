// tamsel-cli run as its own process on the simulated adapter: each road
// end to end, and each failure class with its exit code.
#include "clirun.h"
#include "filenames.h"
#include "firmwareimage.h"
#include "testimage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TamselCliTest : public QObject
{
    Q_OBJECT

private slots:
    // Names that are not UTF-8 reach the program byte for byte.
    void initTestCase() { FileNames::install(); }
    void update_data();
    void update();
    void interrupted();
    void read_data();
    void read();
    void backupAndRestore_data();
    void backupAndRestore();
    void manyWritersOnANewHistory_data();
    void manyWritersOnANewHistory();
    void historyOnAFullDisk();

private:
    struct Outcome
    {
        int code = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs tamsel-cli with its settings in `dir`, the adapter options given.
    // `program` "bash": `arguments` are bash's (CliRun::intoClosedPipe()).
    QProcess *start(const QTemporaryDir &dir, const QString &backend, const QVariantMap &adapter,
                    const QStringList &arguments, const QString &program = QStringLiteral(TAMSEL_CLI));
    // 960 bytes: whole infrared blocks and whole Modbus records.
    static QByteArray padImage();
    // Writes `image` as PAD.INC in `dir`; its path, empty when it failed.
    static QString storeImage(const QTemporaryDir &dir, const QByteArray &image = padImage());
    static Outcome finish(QProcess *process);
};

QByteArray TamselCliTest::padImage()
{
    QByteArray image(960, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 13 + 5);
    return image;
}

QString TamselCliTest::storeImage(const QTemporaryDir &dir, const QByteArray &image)
{
    const QString path = dir.filePath(QStringLiteral("PAD.INC"));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(image) == image.size() ? path : QString();
}

QProcess *TamselCliTest::start(const QTemporaryDir &dir, const QString &backend, const QVariantMap &adapter,
                               const QStringList &arguments, const QString &program)
{
    {
        QSettings settings(dir.filePath(QStringLiteral("Ordane/Tamsel.ini")), QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("adapter"));
        for (auto it = adapter.begin(); it != adapter.end(); ++it)
            settings.setValue(it.key(), it.value());
    }
    auto *process = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.path());
    environment.insert(QStringLiteral("TAMSEL_ADAPTER"), backend);
    process->setProcessEnvironment(environment);
    CliRun::start(*process, program, arguments);
    return process;
}

TamselCliTest::Outcome TamselCliTest::finish(QProcess *process)
{
    Outcome outcome;
    if (process->waitForFinished(30000) && process->exitStatus() == QProcess::NormalExit)
        outcome.code = process->exitCode();
    outcome.out = process->readAllStandardOutput();
    outcome.err = process->readAllStandardError();
    process->disconnect();
    process->deleteLater();
    return outcome;
}

void TamselCliTest::update_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QVariantMap>("adapter");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");

    const QStringList modbus { "update", "--road", "modbus", "--address", "50" };
    const QStringList ir { "update", "--road", "ir" };
    const QVariantMap none;
    QTest::newRow("modbus, whole image") << "simulated" << none << modbus << 0 << "";
    QTest::newRow("modbus, 0x prefix") << "simulated" << none
                                        << QStringList { "update", "--road", "modbus", "--address", "0x50" } << 0 << "";
    QTest::newRow("infrared, whole image") << "simulated" << none << ir << 0 << "";
    QTest::newRow("usage: no road") << "simulated" << none << QStringList { "update" } << 2 << "--road";
    QTest::newRow("usage: address beyond F7") << "simulated" << none
                                              << QStringList { "update", "--road", "modbus", "--address", "F8" } << 2
                                              << "--address";
    QTest::newRow("usage: an option of history only")
        << "simulated" << none << QStringList { "update", "--road", "modbus", "--json" } << 2
        << "--json goes with history only";
    QTest::newRow("no adapter") << "none" << none << modbus << 3
                                << "SUB-20 not connected! Connect the adapter, or choose what stands for it in "
                                   "~/.config/Ordane/Tamsel.ini, group [adapter]: backend=rs485 with port=";
    QTest::newRow("no converter at its port") << "rs485" << QVariantMap { { "port", "/dev/nonexistent-converter" } }
                                              << modbus << 3
                                              << "No RS-485 converter at /dev/nonexistent-converter";
    // Said as a setting it cannot use, not as a missing adapter.
    QTest::newRow("settings it cannot use") << "rs485" << QVariantMap { { "baud", "4801" } } << modbus << 1
                                            << "tamsel-cli: The adapter setting baud=4801 cannot be used: baud must be "
                                               "one of 1200,";
    // File names are bytes: one that is not UTF-8 is opened all the same.
    QTest::newRow("image name not UTF-8") << "simulated" << none << modbus << 0 << "";
    // The window's default address; a broadcast is said to be unconfirmed.
    QTest::newRow("modbus without --address: 0x50") << "simulated" << none
                                                    << QStringList { "update", "--road", "modbus" } << 0
                                                    << "to the pad at address 0x50";
    QTest::newRow("broadcast warns") << "simulated" << none
                                     << QStringList { "update", "--road", "modbus", "--address", "0" } << 0
                                     << "Address 0 broadcasts: no pad answers a broadcast";
    QTest::newRow("empty image") << "simulated" << none << modbus << 5 << "is empty";
    QTest::newRow("exception reply") << "simulated" << QVariantMap { { "exception_at", 4 } } << modbus << 6
                                     << "Modbus Exception: Illegal Data Address";
    QTest::newRow("configuration refused") << "simulated" << QVariantMap { { "refuse_config", true } } << ir << 6
                                           << "sub_ir_config";
    QTest::newRow("no reply") << "simulated" << QVariantMap { { "timeout_at", 3 } } << modbus << 7 << "Modbus Timeout";
    QTest::newRow("wrong address: silence") << "simulated" << QVariantMap { { "pad_address", 0x51 } } << modbus << 7
                                            << "did not answer";

    QTest::newRow("CRC error") << "simulated" << QVariantMap { { "crc_error_at", 2 } } << modbus << 1 << "CRC error";
    // --verify: "verified" only when every record read back equal; what
    // cannot be read back is said, with the image written all the same.
    const QStringList verify = modbus + QStringList { "--verify" };
    QTest::newRow("verify: read back") << "simulated" << none << verify << 0
                                       << "(verified: read back record by record).";
    // A reader that leaves early (| head -1) never cuts the transfer short.
    QTest::newRow("verify, output closed early") << "simulated" << QVariantMap { { "delay_ms", 5 } }
                                                 << QStringList { "|head" } + verify << 0 << "";
    QTest::newRow("verify: a byte differs") << "simulated" << QVariantMap { { "corrupt_read_at", 500 } } << verify
                                            << 8 << "the byte at offset 500 (of 960) is 0x";
    QTest::newRow("verify: the pad cannot read back") << "simulated" << QVariantMap { { "read_back", false } }
                                                      << verify << 9 << "\"Illegal Function\"";
    QTest::newRow("verify: the pad reads back no records") << "simulated" << QVariantMap { { "read_back", "empty" } }
                                                           << verify << 9 << "or with no records)";
    // Every record was acknowledged: a read-back the pad does not answer,
    // or refuses, leaves the image written, not verified.
    QTest::newRow("verify: a read unanswered") << "simulated" << QVariantMap { { "timeout_at", 35 } } << verify << 9
                                               << "the read-back of record 4 failed (Modbus Timeout)";
    QTest::newRow("verify: a read refused") << "simulated" << QVariantMap { { "exception_at", 35 } } << verify << 9
                                            << "record 4 failed (Modbus Exception: Illegal Data Address)";
    QTest::newRow("verify: broadcast") << "simulated" << none
                                       << QStringList { "update", "--road", "modbus", "--address", "0", "--verify" }
                                       << 9 << "no pad answers a broadcast";
    QTest::newRow("verify: infrared") << "simulated" << none << ir + QStringList { "--verify" } << 9
                                      << "infrared has no way back from the pad";
    // Not the image the line meant: the pad is sent nothing.
    QTest::newRow("--sha256 of another image") << "simulated" << none
                                               << modbus + QStringList { "--sha256", QString(64, QLatin1Char('0')) }
                                               << 10 << "is not the one named";
    // A pin that names no image (an unset variable in a script) pins
    // nothing: refused before anything is sent. Either case is a hash.
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(padImage(), QCryptographicHash::Sha256).toHex());
    for (const QString &pin : { QString(), hash.left(63), hash + QLatin1Char('0'), QString(64, QLatin1Char('g')) })
        QTest::addRow("--sha256 \"%s\"", qPrintable(pin.left(8)))
            << "simulated" << none << modbus + QStringList { "--sha256", pin } << 2 << "--sha256 takes the image's SHA-256";
    QTest::newRow("--sha256 in capitals") << "simulated" << none << modbus + QStringList { "--sha256", hash.toUpper() }
                                          << 0 << "";
    QTest::newRow("usage: an option of update only") << "simulated" << none
                                                     << QStringList { "history", "--road", "ir" } << 2
                                                     << "--road goes with update, read and restore only";
}

void TamselCliTest::update()
{
    QFETCH(QString, backend);
    QFETCH(QVariantMap, adapter);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray image = QTest::currentDataTag() == QByteArray("empty image") ? QByteArray() : padImage();
    const QString imagePath = TestImage::store(dir.path(), QTest::currentDataTag() == QByteArray("image name not UTF-8")
                                                   ? QStringLiteral("PAD_") + QChar(0xDCFF) + QStringLiteral(".INC")
                                                   : QStringLiteral("PAD.INC"), image);
    QVERIFY(!imagePath.isEmpty());
    const QString received = dir.filePath(QStringLiteral("received.bin"));
    adapter.insert(QStringLiteral("image"), received);
    if (code != 2 || arguments.contains(QStringLiteral("--sha256")))
        arguments << imagePath;

    const bool piped = arguments.removeAll(QStringLiteral("|head")) > 0;
    const Outcome outcome = finish(piped ? start(dir, backend, adapter,
                                                 CliRun::intoClosedPipe(QStringLiteral(TAMSEL_CLI), arguments),
                                                 QStringLiteral("bash"))
                                         : start(dir, backend, adapter, arguments));
    QCOMPARE(outcome.code, code);
    if (code == 0) {
        QVERIFY(outcome.err.isEmpty());
        QVERIFY2(piped ? outcome.out.count('\n') == 1
                       : outcome.out.contains("progress 100%\n") && outcome.out.contains("Wrote 960 bytes")
                    && outcome.out.contains(says.toUtf8()),
                 outcome.out.constData());
        QFile pad(received);
        QVERIFY(pad.open(QIODevice::ReadOnly));
        QCOMPARE(pad.readAll(), image);
    } else {
        QVERIFY2(outcome.err.contains(says.toUtf8()), outcome.err.constData());
        QVERIFY(outcome.err.startsWith("tamsel-cli: "));
        QCOMPARE(outcome.err.count('\n'), 1);
    }
    if (code == 10)
        QVERIFY(!QFile::exists(received));
    // The history's newest row says the same as the exit code, for the same
    // image.
    if (code != 2) {
        const Outcome history = finish(start(dir, backend, adapter, { "history", "--json", "--limit", "1" }));
        QCOMPARE(history.code, 0);
        const QJsonObject row = QJsonDocument::fromJson(history.out).array().first().toObject();
        const QStringList outcomes { "updated", "failed", "", "no device", "no access", "image refused",
                                     "device refused", "timeout", "differs", "not verifiable", "wrong image" };
        const bool verify = arguments.contains(QStringLiteral("--verify"));
        QCOMPARE(row.value(QLatin1String("outcome")).toString(),
                 code == 0 && verify ? QStringLiteral("verified") : outcomes.value(code));
        QCOMPARE(row.value(QLatin1String("road")).toString(), arguments.at(2) == QLatin1String("ir") ? "ir" : "modbus");
        if (!image.isEmpty())
            QCOMPARE(row.value(QLatin1String("sha256")).toString(),
                     QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    }
    // Not verified, or found different: written all the same.
    if (code == 8 || code == 9) {
        QFile pad(received);
        QVERIFY(pad.open(QIODevice::ReadOnly));
        QCOMPARE(pad.readAll(), image);
    }
}

// Ctrl+C stops the run after its current record, with its own exit code.
void TamselCliTest::interrupted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString imagePath = dir.filePath(QStringLiteral("PAD.INC"));
    QFile file(imagePath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(32 * 4000, 'x'));
    file.close();
    QProcess *process = start(dir, QStringLiteral("simulated"), { { "delay_ms", 5 } },
                              { "update", "--road", "modbus", "--address", "50", imagePath });
    QVERIFY(process->waitForStarted());
    QByteArray seen;
    connect(process, &QProcess::readyReadStandardOutput, this, [&] { seen += process->readAllStandardOutput(); });
    QTRY_VERIFY_WITH_TIMEOUT(seen.contains("progress 10%"), 20000);
    ::kill(pid_t(process->processId()), SIGINT);
    const Outcome outcome = finish(process);
    QCOMPARE(outcome.code, 130);
    QVERIFY2(outcome.err.contains("Stopped; the pad did not get the whole image."), outcome.err.constData());
    QVERIFY(!seen.contains("Wrote"));

    // A read stopped leaves no file.
    const QString read = dir.filePath(QStringLiteral("pad.bin"));
    process = start(dir, QStringLiteral("simulated"), { { "delay_ms", 5 }, { "holds", imagePath } },
                    { "read", "--road", "modbus", read });
    QVERIFY(process->waitForStarted());
    QTest::qWait(500);
    ::kill(pid_t(process->processId()), SIGINT);
    const Outcome stopped = finish(process);
    QCOMPARE(stopped.code, 130);
    QVERIFY2(stopped.err.contains("the pad was not read."), stopped.err.constData());
    QVERIFY(QDir(dir.path()).entryList({ "pad.bin*" }, QDir::Files).isEmpty());
}

// The pad's image read by Modbus into a file: record after record until the
// pad says there are no more; whole, or FILE is left as it was.
void TamselCliTest::read_data()
{
    QTest::addColumn<QVariantMap>("adapter");
    QTest::addColumn<int>("holds");             // bytes the pad holds
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    const QStringList modbus { "read", "--road", "modbus", "--address", "50" };
    const QVariantMap none;
    QTest::newRow("whole records") << none << 960 << modbus << 0 << "Read 960 bytes (30 records)";
    // The pad keeps no length: its last record comes whole.
    QTest::newRow("a last record in part") << none << 1000 << modbus << 0 << "Read 1024 bytes (32 records)";
    QTest::newRow("holds nothing") << none << 0 << modbus << 11 << "holds no records to read";
    QTest::newRow("reads nothing back") << QVariantMap { { "read_back", false } } << 960 << modbus << 11
                                        << "\"Illegal Function\"); it cannot be read.";
    QTest::newRow("an empty reply to the first read") << QVariantMap { { "read_back", "empty" } } << 960 << modbus
                                                      << 11 << "holds no records to read";
    QTest::newRow("no reply") << QVariantMap { { "timeout_at", 3 } } << 960 << modbus << 7
                              << "The read of record 2 failed: Modbus Timeout";
    QTest::newRow("a read refused") << QVariantMap { { "exception_at", 3 }, { "exception_code", 4 } } << 960 << modbus
                                    << 6 << "The read of record 2 failed";
    QTest::newRow("infrared") << none << 960 << QStringList { "read", "--road", "ir" } << 11
                              << "it cannot be read by infrared";
    QTest::newRow("broadcast") << none << 960 << QStringList { "read", "--road", "modbus", "--address", "0" } << 11
                               << "A broadcast cannot be read";
    QTest::newRow("usage: an option of update only") << none << 960 << modbus + QStringList { "--verify" } << 2
                                                     << "--verify goes with update only";
}

void TamselCliTest::read()
{
    QFETCH(QVariantMap, adapter);
    QFETCH(int, holds);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray held = padImage();
    held = (held + held).left(holds);
    adapter.insert(QStringLiteral("holds"), storeImage(dir, held));
    const QString file = dir.filePath(QStringLiteral("pad.bin"));
    QVERIFY(TestImage::store(dir.path(), QStringLiteral("pad.bin"), "before") == file);
    const Outcome outcome = finish(start(dir, QStringLiteral("simulated"), adapter, arguments << file));
    QCOMPARE(outcome.code, code);
    QVERIFY2((code == 0 ? outcome.out : outcome.err).contains(says.toUtf8()), (outcome.out + outcome.err).constData());
    QFile read(file);
    QVERIFY(read.open(QIODevice::ReadOnly));
    const QByteArray whole = held + QByteArray((32 - held.size() % 32) % 32, '\0');
    QCOMPARE(read.readAll(), code == 0 ? whole : QByteArray("before"));
    QCOMPARE(QDir(dir.path()).entryList({ "pad.bin*" }, QDir::Files), QStringList { "pad.bin" });
}

// The pad's records kept before it is written, and put back from the
// history, verified; never without a backup, never from a changed file.
void TamselCliTest::backupAndRestore_data()
{
    QTest::addColumn<QVariantMap>("adapter");
    QTest::addColumn<QStringList>("update");
    QTest::addColumn<QString>("fault");         // tampered, another address
    QTest::addColumn<int>("code");              // of the update, or of the restore after it
    QTest::addColumn<QString>("says");
    const QStringList modbus { "update", "--road", "modbus", "--backup", "--verify" };
    const QVariantMap none;
    QTest::newRow("backed up, restored") << none << modbus << "" << 0 << "verified: read back record by record";
    QTest::newRow("a pad that reads nothing back: not written") << QVariantMap { { "read_back", false } } << modbus
                                                                << "" << 11 << "nothing was written";
    QTest::newRow("infrared: not written") << none << QStringList { "update", "--road", "ir", "--backup" } << "" << 11
                                           << "cannot be read by infrared";
    QTest::newRow("tampered backup: not restored") << none << modbus << "tampered" << 10
                                                   << "no longer holds what was stored";
    QTest::newRow("another address: not restored") << none << modbus << "another address" << 2
                                                   << "not from the pad at 0x51";
    QTest::newRow("killed while it writes: its row names the backup")
        << QVariantMap { { "delay_ms", 5 } } << modbus << "killed" << 0 << "";
}

void TamselCliTest::backupAndRestore()
{
    QFETCH(QVariantMap, adapter);
    QFETCH(QStringList, update);
    QFETCH(QString, fault);
    QFETCH(int, code);
    QFETCH(QString, says);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // It held 1000 bytes; it reads them back in whole records.
    QByteArray before = padImage() + padImage();
    before = before.left(1000);
    const QByteArray kept = before + QByteArray(24, '\0');
    const QString held = dir.filePath(QStringLiteral("held.bin"));
    QVERIFY(TestImage::store(dir.path(), QStringLiteral("held.bin"), before) == held);
    adapter.insert(QStringLiteral("holds"), held);
    const QString image = storeImage(dir);
    // A store already past its bound: said, and nothing removed.
    const bool crowded = fault.isEmpty() && code == 0;
    const QString filler = dir.filePath(QStringLiteral("Ordane/backups/") + QString(64, QLatin1Char('a')));
    if (crowded) {
        QVERIFY(QDir().mkpath(QFileInfo(filler).path()));
        QFile file(filler);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(2 * 1024 * 1024));
        QSettings(dir.filePath(QStringLiteral("Ordane/Tamsel.ini")), QSettings::IniFormat)
            .setValue(QStringLiteral("backups/max_mb"), 1);
    }
    const QString sha256 = QString::fromLatin1(FirmwareImage::digestOf(kept));
    const auto newestRow = [this, &dir] {
        return QJsonDocument::fromJson(finish(start(dir, QStringLiteral("none"), {}, { "history", "--json" })).out)
            .array()
            .first()
            .toObject();
    };
    if (fault == QLatin1String("killed")) {
        // Long enough to be killed in the middle of it.
        const QString large = TestImage::store(dir.path(), QStringLiteral("LARGE.INC"), QByteArray(32 * 2000, 'x'));
        QProcess *process = start(dir, QStringLiteral("simulated"), adapter, update << large);
        QByteArray seen;
        connect(process, &QProcess::readyReadStandardOutput, this, [&] { seen += process->readAllStandardOutput(); });
        QTRY_VERIFY_WITH_TIMEOUT(seen.contains("progress 10%"), 20000);
        process->kill();
        finish(process);
        QCOMPARE(newestRow().value(QLatin1String("backupSha256")).toString(), sha256);
        return;
    }
    const Outcome updated = finish(start(dir, QStringLiteral("simulated"), adapter, update << image));
    QCOMPARE(updated.err.contains("more than the 1 MiB allowed ([backups] max_mb)"), crowded);
    QCOMPARE(QFile::exists(filler), crowded);
    const QString file = dir.filePath(QStringLiteral("Ordane/backups/") + sha256);
    if (code == 11) {
        QCOMPARE(updated.code, code);
        QVERIFY2(updated.err.contains(says.toUtf8()), updated.err.constData());
        QVERIFY(!updated.out.contains("Wrote"));
        QVERIFY(!QFile::exists(file));
        return;
    }
    QVERIFY2(updated.code == 0, (updated.out + updated.err).constData());
    QFile backup(file);
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), kept);
    backup.close();
    const QJsonObject row = newestRow();
    QCOMPARE(row.value(QLatin1String("backupSha256")).toString(), sha256);
    if (fault == QLatin1String("tampered")) {
        QVERIFY(backup.open(QIODevice::ReadWrite));
        QVERIFY(backup.seek(5));
        QVERIFY(backup.putChar('X'));
        backup.close();
    }
    // The pad holds the new image now; the restore writes the old one back
    // and reads it back.
    adapter.insert(QStringLiteral("holds"), image);
    QStringList restore { "restore" };
    if (fault == QLatin1String("another address"))
        restore << "--row" << QString::number(row.value(QLatin1String("id")).toInt()) << "--address" << "51";
    const Outcome restored = finish(start(dir, QStringLiteral("simulated"), adapter, restore));
    QVERIFY2(restored.code == code, (restored.out + restored.err).constData());
    QVERIFY2((code == 0 ? restored.out : restored.err).contains(says.toUtf8()), (restored.out + restored.err).constData());
    if (code != 0) {
        QVERIFY(!restored.out.contains("Wrote"));
        return;
    }
    const QJsonObject newest = newestRow();
    QCOMPARE(newest.value(QLatin1String("restoredRow")).toInt(), row.value(QLatin1String("id")).toInt());
    QCOMPARE(newest.value(QLatin1String("sha256")).toString(), sha256);
    QCOMPARE(newest.value(QLatin1String("outcome")).toString(), QStringLiteral("verified"));
}

// The first updates of a new station, all at once: every process keeps its
// row in a history file that none of them found there, and none says that
// the history failed.
void TamselCliTest::manyWritersOnANewHistory_data()
{
    QTest::addColumn<int>("writers");
    QTest::newRow("eight") << 8;
    QTest::newRow("thirty-two") << 32;
}

void TamselCliTest::manyWritersOnANewHistory()
{
    QFETCH(int, writers);
    for (int round = 0; round < 20; ++round) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString imagePath = storeImage(dir);
        QVERIFY(!imagePath.isEmpty());
        QVector<QProcess *> processes;
        for (int i = 0; i < writers; ++i)
            processes << start(dir, QStringLiteral("none"), {}, { "update", "--road", "modbus", imagePath });
        QByteArray said;
        for (QProcess *process : qAsConst(processes)) {
            const Outcome outcome = finish(process);
            QCOMPARE(outcome.code, 3);
            said += outcome.out + outcome.err;
        }
        QVERIFY2(!said.contains("update history"), said.constData());
        const Outcome history = finish(start(dir, QStringLiteral("none"), {}, { "history", "--json", "--limit", "0" }));
        QCOMPARE(QJsonDocument::fromJson(history.out).array().size(), writers);
    }
}

// A disk that is full when the update starts: the row cannot be kept, and
// that is said once; the update's own outcome stands.
void TamselCliTest::historyOnAFullDisk()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString imagePath = storeImage(dir);
    QVERIFY(!imagePath.isEmpty());
    const QString data = dir.filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(data));
    // A small file system of its own, in a mount namespace (gone with the
    // command): the first update makes the history, a file fills the rest.
    if (QProcess::execute(QStringLiteral("unshare"), { "--mount", "true" }) != 0)
        QSKIP("This user may not make a mount namespace with a small file system of its own.");
    const QString run = QStringLiteral("mount -t tmpfs -o size=512k tmpfs %1 && "
                                       "XDG_DATA_HOME=%1 \"$0\" update --road modbus %2 >/dev/null 2>&1; "
                                       "head -c 100000000 /dev/zero > %1/filler 2>/dev/null; "
                                       "XDG_DATA_HOME=%1 exec \"$0\" update --road modbus %2")
                            .arg(data, imagePath);
    const Outcome outcome = finish(start(dir, QStringLiteral("simulated"), { { "image", dir.filePath("received.bin") } },
                                         { "--mount", "bash", "-c", run, QStringLiteral(TAMSEL_CLI) },
                                         QStringLiteral("unshare")));
    QVERIFY2(outcome.code == 0, outcome.err.constData());
    QVERIFY(outcome.out.contains("Wrote 960 bytes"));
    QVERIFY2(outcome.err.count("tamsel-cli: The update history") == 1 && outcome.err.count('\n') == 1
                 && outcome.err.contains("could not be written")
                 && outcome.err.contains("The update itself was not affected."),
             outcome.err.constData());
}

QTEST_MAIN(TamselCliTest)
#include "tst_tamsel_cli.moc"
