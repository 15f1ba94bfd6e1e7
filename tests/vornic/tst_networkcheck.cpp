// The address checks in front of a network device's identification: the
// neighbour table's listing, serial numbers from MAC addresses, and the
// whole check for real in a private network (runs in a network namespace of
// its own; each case builds a device namespace behind a veth pair with a
// chosen MAC address, runs the simulated device there, and removes it).
#include "network/networkdevice.h"
#include "network/scannertask.h"

#include "neighbourtable.h"
#include "reportreceiver.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char deviceAddress[] = "198.51.100.20";

bool ip(const QStringList &arguments, bool quiet = false)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    if (!process.waitForFinished(5000) || process.exitCode() != 0) {
        if (quiet)
            return false;
        qWarning().noquote() << "ip" << arguments.join(' ') << ":" << process.readAllStandardError();
        return false;
    }
    return true;
}

} // namespace

class NetworkCheckTest : public QObject
{
    Q_OBJECT
private slots:
    void arpTable_data();
    void arpTable();
    void serialFromMac_data();
    void serialFromMac();
    void versionRules_data();
    void versionRules();
    void checkOnAPrivateNetwork_data();
    void checkOnAPrivateNetwork();
};

void NetworkCheckTest::arpTable_data()
{
    const QByteArray table = "IP address       HW type     Flags       HW address            Mask     Device\n"
                             "198.51.100.20    0x1         0x2         0a:7c:d2:00:a1:b2     *        vh0\n"
                             "198.51.100.21    0x1         0x0         00:00:00:00:00:00     *        vh0\n"
                             "198.51.100.22    0x1         0x6         02:00:00:12:34:56     *        vh0\n"
                             "198.51.100.24    0x1         0x2         0:a:7:c:d:2:0:0:a:1:b:2 *      vh0\n";
    static const char withNul[] = "IP address HW type Flags HW address Mask Device\n"
                                  "198.51.100.25\0junk 0x1 0x2 0a:7c:d2:00:a1:b2 * vh0\n";
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("mac");
    QTest::newRow("complete") << table << "198.51.100.20" << QByteArray::fromHex("0a7cd200a1b2");
    QTest::newRow("incomplete is none") << table << "198.51.100.21" << QByteArray();
    QTest::newRow("other flags with complete") << table << "198.51.100.22" << QByteArray::fromHex("020000123456");
    QTest::newRow("absent") << table << "203.0.113.5" << QByteArray();
    QTest::newRow("prefix of a listed address") << table << "198.51.100.2" << QByteArray();
    // Only the kernel's own form of an address is read; hex decoding alone
    // would make six bytes of it.
    QTest::newRow("single digits") << table << "198.51.100.24" << QByteArray();
    QTest::newRow("address ends at NUL") << QByteArray(withNul, sizeof withNul - 1) << "198.51.100.25" << QByteArray();
}

void NetworkCheckTest::arpTable()
{
    QFETCH(QByteArray, table);
    QFETCH(QString, address);
    QFETCH(QByteArray, mac);
    QCOMPARE(hardwareAddressInArpTable(table, address), mac);
}

void NetworkCheckTest::serialFromMac_data()
{
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("serial");
    QTest::newRow("00: Primora") << "0A:7C:D2:00:A1:B2" << "0500A1B2";
    QTest::newRow("C0:12:34: Bridonix") << "0A:7C:D2:C0:12:34" << "02C1234";
    QTest::newRow("C0:0F:FF: Bridova") << "0A:7C:D2:C0:0F:FF" << "02C0FFF";
    QTest::newRow("12:34:56: none") << "0A:7C:D2:12:34:56" << "";
}

void NetworkCheckTest::serialFromMac()
{
    QFETCH(QString, mac);
    QFETCH(QString, serial);
    NetworkDevice device(QStringLiteral("127.0.0.1"), 1);
    ScannerTask scanner(nullptr, &device);
    scanner.serialNumber = QStringLiteral("previous");
    scanner.serialNumberFromMac(mac);
    QCOMPARE(scanner.serialNumber, serial);
}

void NetworkCheckTest::versionRules_data()
{
    QTest::addColumn<QString>("minimum");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("reached");
    QTest::newRow("equal") << "3.2" << "3.2" << true;
    QTest::newRow("a later minor") << "3.2" << "3.10" << true;
    QTest::newRow("a later major") << "3.2" << "4.0" << true;
    QTest::newRow("a third number, lower") << "3.2" << "3.1.9" << false;
    QTest::newRow("a third number, higher") << "3.2" << "3.2.1" << true;
    QTest::newRow("an earlier minor") << "3.2" << "3.1" << false;
    QTest::newRow("1.10 against 1.1") << "1.1" << "1.10" << true;
    QTest::newRow("1.0.5 against 1.1") << "1.1" << "1.0.5" << false;
    // What follows the leading numbers is ignored; a text that does not
    // begin with one is no version.
    QTest::newRow("a tail") << "3.2" << "3.2-beta" << true;
    QTest::newRow("a tail, lower") << "3.2" << "3.1-rc9" << false;
    QTest::newRow("a star ends the numbers") << "1.1" << "2.*" << true;
    QTest::newRow("a letter first") << "3.2" << "v3.2" << false;
    QTest::newRow("nothing") << "1.3" << "" << false;
    QTest::newRow("an empty number") << "1.3" << "1..3" << false;
    QTest::newRow("huge numbers") << "1.3" << "99999999999999999999" << false;
}

void NetworkCheckTest::versionRules()
{
    QFETCH(QString, minimum);
    QFETCH(QString, version);
    QFETCH(bool, reached);
    QCOMPARE(ScannerTask::versionAtLeast(minimum, version), reached);
}

void NetworkCheckTest::checkOnAPrivateNetwork_data()
{
    QTest::addColumn<QString>("hostAddress");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("deviceSerial");      // empty: the device names none
    QTest::addColumn<QString>("deviceVersion");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("tcp");
    QTest::newRow("maker's MAC names the serial") << "198.51.100.2" << "0a:7c:d2:00:a1:b2" << "" << "3.2" << 0
                                                  << "0500A1B2" << true;
    QTest::newRow("serial from MAC sets threshold 32") << "198.51.100.2" << "0a:7c:d2:00:a1:b2" << "" << "3.1" << 3
                                                       << "0500A1B2" << true;
    QTest::newRow("device's own serial wins") << "198.51.100.2" << "0a:7c:d2:c0:12:34" << "03D0001" << "1.3" << 0
                                              << "03D0001" << true;
    QTest::newRow("another maker: no TCP at all") << "198.51.100.2" << "02:00:00:12:34:56" << "03D0001" << "1.3" << 1
                                                  << "" << false;
    QTest::newRow("the maker's bytes, not first") << "198.51.100.2" << "02:0a:7c:d2:00:01" << "03D0001" << "1.3" << 1
                                                  << "" << false;
    // The only interface of that subnet ends in .1: the device counts as
    // remote and is checked over TCP alone, whatever its MAC address.
    QTest::newRow("interface ending in .1 ignored") << "198.51.100.1" << "02:00:00:12:34:56" << "03D0001" << "1.3"
                                                    << 0 << "03D0001" << true;
}

void NetworkCheckTest::checkOnAPrivateNetwork()
{
    if (qgetenv("PRIVATE_NETWORK") != "1")
        QSKIP("needs a network namespace of its own (root and unshare --net); run through private-network.sh");
    QFETCH(QString, hostAddress);
    QFETCH(QString, mac);
    QFETCH(QString, deviceSerial);
    QFETCH(QString, deviceVersion);
    QFETCH(int, code);
    QFETCH(QString, serial);
    QFETCH(bool, tcp);

    // /run/netns is shared by the whole machine: a name of our own.
    static int cases = 0;
    const QString ns = QStringLiteral("vornictest%1x%2").arg(QCoreApplication::applicationPid()).arg(++cases);
    QTemporaryDir dir;
    const QString journal = dir.filePath(QStringLiteral("journal"));
    QProcess simulator;
    QVERIFY(ip({ "netns", "add", ns }));
    const auto cleanup = qScopeGuard([&] {
        simulator.kill();
        simulator.waitForFinished(2000);
        // Deleting one end of the pair deletes both at once; a namespace
        // takes its interfaces away only later.
        ip({ "link", "del", "vh0" }, true);
        ip({ "netns", "del", ns });
    });
    QVERIFY(ip({ "link", "add", "vh0", "type", "veth", "peer", "name", "vd0", "netns", ns }));
    QVERIFY(ip({ "addr", "add", hostAddress + "/24", "dev", "vh0" }));
    // An IPv6 address on the same link never makes the device local (where
    // the kernel has no IPv6 the address is simply not there).
    ip({ "-6", "addr", "add", "2001:db8::2/64", "dev", "vh0" }, true);
    QVERIFY(ip({ "link", "set", "vh0", "up" }));
    QVERIFY(ip({ "-n", ns, "link", "set", "lo", "up" }));
    QVERIFY(ip({ "-n", ns, "link", "set", "vd0", "address", mac }));
    QVERIFY(ip({ "-n", ns, "addr", "add", QString::fromLatin1(deviceAddress) + "/24", "dev", "vd0" }));
    QVERIFY(ip({ "-n", ns, "link", "set", "vd0", "up" }));

    simulator.start(QStringLiteral("ip"), { "netns", "exec", ns, QStringLiteral(NETWORK_DEVICE_SIM), "--address",
                                            QString::fromLatin1(deviceAddress), "--serial", deviceSerial, "--version",
                                            deviceVersion, "--journal", journal });
    QVERIFY(simulator.waitForReadyRead(5000));
    QVERIFY(simulator.readAll().startsWith("listening on"));

    NetworkDevice device(QString::fromLatin1(deviceAddress), 10102);
    ReportReceiver owner;
    ScannerTask scanner(&owner, &device);
    QCOMPARE(scanner.onLocalSubnet(), hostAddress.endsWith(QLatin1String(".2")));
    scanner.run();
    QTRY_COMPARE(owner.reports, 1);
    QCOMPARE(owner.code, code);
    QCOMPARE(owner.serial, serial);
    QFile file(journal);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().startsWith("connect 1"), tcp);
}

QTEST_GUILESS_MAIN(NetworkCheckTest)
#include "tst_networkcheck.moc"
