// The owner of an update in progress, without USB: its phases, and which
// device of a made-up listing it takes for the one it awaits.
#include "emitter.h"
#include "update/twophaseupdate.h"

#include <QSignalSpy>
#include <QtConcurrent>
#include <QtTest>

namespace {

struct Bench
{
    Emitter emitter;
    TwoPhaseUpdate owner { &emitter };
};

// What a USB job reports once it has told the device on 1-3 to detach.
const DfuEngine::Detach detachedAt13 { true, true, 1, 3 };

// "<port> <serial> boot|app" per entry; each arrived anew.
QVector<UsbDeviceEntry> listing(const QStringList &rows)
{
    QVector<UsbDeviceEntry> entries;
    for (const QString &row : rows) {
        const QStringList parts = row.split(QLatin1Char(' '));
        UsbDeviceEntry entry;
        entry.portPath = parts.at(0);
        entry.serialNumber = parts.at(1);
        entry.bootloader = parts.at(2) == QLatin1String("boot");
        entry.accessible = parts.value(3) != QLatin1String("denied");
        entry.text = QStringLiteral("Primora S/N: %1%2").arg(entry.serialNumber, entry.bootloader ? " boot" : "");
        entry.presence = QStringLiteral("made-up %1 %2").arg(entry.portPath).arg(entries.size());
        entries.append(entry);
    }
    return entries;
}

} // namespace

class TwoPhaseUpdateTest : public QObject
{
    Q_OBJECT

private:
    // An owner left awaiting the device on port 1-3 ("detach") or with
    // serial number 0500A1B2 ("serial").
    void sendAway(TwoPhaseUpdate *owner, const QString &road)
    {
        owner->begin(FirmwareImage::fromBytes(QStringLiteral("P.INC"), QByteArray(100, 'x')), false);
        if (road == QLatin1String("serial")) {
            owner->prepareSerialReturn();
            owner->serialBootSent(QStringLiteral("0500A1B2"), true);
            return;
        }
        owner->startUsb(QStringLiteral("1-3"));
        QCOMPARE(owner->phase(), TwoPhaseUpdate::Writing);
        QVERIFY(!owner->returnPending());
        // The job's report reaches the owner's thread while the job runs.
        owner->reportDetach(detachedAt13);
        QCoreApplication::processEvents();
        QVERIFY(owner->returnPending());
        QVERIFY(owner->reconnection().detachIssued);
        QCOMPARE(owner->reconnection().detachedPortNumber, 3);
        owner->usbEnded(0);
    }

private slots:
    // The owner takes its USB job's end once, and says it once: the device
    // awaited back, or the update's outcome.
    void usbJobEnds_data()
    {
        QTest::addColumn<bool>("detach");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("how");       // "" watched to its end, "closing", "waited for"
        QTest::addColumn<int>("kind");          // -1: the device is awaited
        QTest::newRow("written") << false << 0 << "" << int(UpdateOutcome::Updated);
        QTest::newRow("failed") << false << -7 << "" << int(UpdateOutcome::Timeout);
        QTest::newRow("detached: awaited back") << true << 0 << "" << -1;
        QTest::newRow("detached, window closing meanwhile") << true << 0 << "closing" << int(UpdateOutcome::Stopped);
        QTest::newRow("detached, program ending") << true << 0 << "waited for" << int(UpdateOutcome::Stopped);
        QTest::newRow("written, program ending") << false << 0 << "waited for" << int(UpdateOutcome::Updated);
    }

    void usbJobEnds()
    {
        QFETCH(bool, detach);
        QFETCH(int, result);
        QFETCH(QString, how);
        QFETCH(int, kind);
        Bench bench;
        TwoPhaseUpdate &owner = bench.owner;
        QList<UpdateOutcome::Kind> finished;
        connect(&owner, &TwoPhaseUpdate::finished, this,
                [&finished](const UpdateOutcome &outcome) { finished.append(outcome.kind()); });
        QSignalSpy awaited(&owner, &TwoPhaseUpdate::returnAwaited);
        owner.begin(FirmwareImage::fromBytes(QStringLiteral("P.INC"), QByteArray(100, 'x')), false);
        owner.startUsb(QStringLiteral("1-3"));
        QSemaphore release;
        // As the engine does: the detach is reported from the job's thread.
        owner.followUsbJob(QtConcurrent::run([&, detach, result] {
            release.acquire();
            owner.reportDetach(detach ? detachedAt13 : DfuEngine::Detach());
            return result;
        }));
        QVERIFY(owner.inProgress() && owner.usbJobRunning());
        if (how == QLatin1String("closing"))
            owner.endWithUsbJob();
        release.release();
        if (how == QLatin1String("waited for")) {
            QCOMPARE(int(owner.waitForUsbJob().kind()), kind);
            QCOMPARE(owner.waitForUsbJob().kind(), UpdateOutcome::NotStarted);
        } else {
            QTRY_COMPARE(finished.count() + awaited.count(), 1);
        }
        QCoreApplication::processEvents();
        // Said once, by the one signal that fits (a job waited for says nothing).
        const bool said = how != QLatin1String("waited for");
        QCOMPARE(awaited.count(), said && kind == -1 ? 1 : 0);
        QCOMPARE(finished, said && kind != -1 ? QList<UpdateOutcome::Kind> { UpdateOutcome::Kind(kind) }
                                              : QList<UpdateOutcome::Kind>());
        QCOMPARE(owner.phase() == TwoPhaseUpdate::AwaitingReturn, kind == -1);
        QCOMPARE(owner.inProgress(), kind == -1);
    }

    void arrivals_data()
    {
        QTest::addColumn<QString>("road");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("expected");      // an index, -1 not yet, -2 ambiguous, -3 no access
        QTest::newRow("detach: back on its port") << "detach" << QStringList { "1-2 0400FFFF boot", "1-3 0500A1B2 boot" } << 1;
        QTest::newRow("detach: on another port") << "detach" << QStringList { "1-4 0500A1B2 boot" } << -1;
        QTest::newRow("detach: below its port") << "detach" << QStringList { "1-3.1 0500A1B2 boot" } << -1;
        QTest::newRow("detach: still in its application") << "detach" << QStringList { "1-3 0500A1B2 app" } << -1;
        QTest::newRow("serial: by its serial number")
            << "serial" << QStringList { "1-9 0400FFFF boot", "1-5 0500A1B2 boot" } << 1;
        QTest::newRow("serial: by the end of it") << "serial" << QStringList { "1-5 A1B2 boot" } << 0;
        QTest::newRow("serial: another device") << "serial" << QStringList { "1-5 0400FFFF boot" } << -1;
        QTest::newRow("serial: two candidates")
            << "serial" << QStringList { "1-5 0500A1B2 boot", "1-6 0500A1B2 boot" } << -2;
        QTest::newRow("serial: back, and this user may not open it")
            << "serial" << QStringList { "1-5 0500A1B2 boot denied" } << -3;
    }

    void arrivals()
    {
        QFETCH(QString, road);
        QFETCH(QStringList, rows);
        QFETCH(int, expected);
        Bench bench;
        TwoPhaseUpdate &owner = bench.owner;
        sendAway(&owner, road);
        QCOMPARE(owner.phase(), TwoPhaseUpdate::AwaitingReturn);
        QVERIFY(owner.returnDeadlineRunning());
        QCOMPARE(owner.reconnection().reconnectMode, road == QLatin1String("serial") ? 0 : 1);

        const TwoPhaseUpdate::Arrival arrival = owner.arrived(listing(rows));
        if (expected < -1) {
            // Not written, and nothing is awaited any more.
            QCOMPARE(arrival.action, TwoPhaseUpdate::Arrival::Abandoned);
            QCOMPARE(arrival.outcome.kind(), expected == -2 ? UpdateOutcome::NoDevice : UpdateOutcome::NoAccess);
            QVERIFY2(expected == -3 || arrival.outcome.reason().startsWith(QLatin1String("2 devices came back")),
                     qPrintable(arrival.outcome.reason()));
            QCOMPARE(owner.phase(), TwoPhaseUpdate::Idle);
            return;
        }
        if (expected == -1) {
            QCOMPARE(arrival.action, TwoPhaseUpdate::Arrival::Wait);
            QCOMPARE(owner.phase(), TwoPhaseUpdate::AwaitingReturn);
            return;
        }
        QCOMPARE(arrival.action, TwoPhaseUpdate::Arrival::Write);
        QCOMPARE(arrival.index, expected);
        // Back: nothing is awaited any more, and the same listing offered
        // again starts nothing a second time.
        QCOMPARE(owner.phase(), TwoPhaseUpdate::WritingReturned);
        QCOMPARE(owner.reconnection().reconnectMode, -1);
        QVERIFY(owner.reconnection().pendingSerialNumber.isEmpty());
        QVERIFY(!owner.returnDeadlineRunning());
        QCOMPARE(owner.arrived(listing(rows)).action, TwoPhaseUpdate::Arrival::Wait);
        owner.startUsb(rows.at(expected).section(QLatin1Char(' '), 0, 0));
        QCOMPARE(owner.phase(), TwoPhaseUpdate::WritingReturned);
        owner.usbEnded(0);
        QCOMPARE(owner.phase(), TwoPhaseUpdate::Idle);
    }

    // Every way an awaited device stops being awaited: afterwards even the
    // right device arriving is not written.
    void endings_data()
    {
        QTest::addColumn<QString>("road");
        QTest::addColumn<QString>("how");
        for (const char *road : { "detach", "serial" }) {
            for (const char *how : { "timeout", "abandon", "stop", "new update" })
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(road, how))) << road << how;
        }
        QTest::newRow("serial port not opened") << "serial" << "not sent";
        QTest::newRow("detach, then the run failed") << "detach" << "failed";
    }

    void endings()
    {
        QFETCH(QString, road);
        QFETCH(QString, how);
        Bench bench;
        TwoPhaseUpdate &owner = bench.owner;
        QSignalSpy timedOut(&owner, &TwoPhaseUpdate::returnTimedOut);
        owner.setReturnTimeout(50);
        if (how == QLatin1String("not sent")) {
            owner.begin(FirmwareImage(), false);
            owner.prepareSerialReturn();
            owner.serialBootSent(QStringLiteral("0500A1B2"), false);
            // The mode still names the road taken.
            QCOMPARE(owner.reconnection().reconnectMode, 0);
        } else if (how == QLatin1String("failed")) {
            owner.begin(FirmwareImage(), false);
            owner.startUsb(QStringLiteral("1-3"));
            owner.reportDetach(detachedAt13);
            owner.usbEnded(-1);
            QCOMPARE(owner.reconnection().reconnectMode, -1);
        } else {
            sendAway(&owner, road);
            if (how == QLatin1String("timeout")) {
                QVERIFY(timedOut.wait(2000));
                QVERIFY(owner.returnDeadlinePassed());
                // The receiver says so and gives up.
                owner.abandon();
            } else if (how == QLatin1String("abandon")) {
                owner.abandon();
            } else if (how == QLatin1String("stop")) {
                owner.stop();
            } else {
                owner.begin(FirmwareImage(), false);
            }
            QCOMPARE(owner.reconnection().reconnectMode, -1);
            QVERIFY(!owner.reconnection().detachIssued);
        }
        QCOMPARE(owner.phase(), TwoPhaseUpdate::Idle);
        QVERIFY(!owner.inProgress());
        QVERIFY(owner.reconnection().pendingSerialNumber.isEmpty());
        QVERIFY(!owner.returnDeadlineRunning());
        QCOMPARE(owner.arrived(listing({ "1-3 0500A1B2 boot" })).action, TwoPhaseUpdate::Arrival::Wait);
        QTest::qWait(100);
        QCOMPARE(timedOut.count(), how == QLatin1String("timeout") ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TwoPhaseUpdateTest)
#include "tst_twophaseupdate.moc"
