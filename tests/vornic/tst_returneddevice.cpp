// A two-phase update writes the device that was told to restart, and no
// other, with more of the maker's devices on the bus: the matching rule as a
// table, then the window and vornic-cli (as its own process) against
// emulated devices (runs under umockdev-wrapper).
#include "testimage.h"
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "clirun.h"
#include "devicebench.h"
#include "modaldriver.h"
#include "usb/usbdevicelist.h"

#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// "<path>@<address> <serial> boot|app" as a listed entry.
UsbDeviceEntry entry(const QString &description)
{
    const QStringList parts = description.split(QLatin1Char(' '));
    UsbDeviceEntry e;
    e.presence = parts.at(0);
    e.portPath = e.presence.section(QLatin1Char('@'), 0, 0);
    e.serialNumber = parts.at(1);
    e.bootloader = parts.at(2) == QLatin1String("boot");
    return e;
}

} // namespace

class ReturnedDeviceTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void rule_data();
    void rule();
    void twoDevices_data();
    void twoDevices();

private:
    EmulatedDfuDevice *add(const EmulatedDfuDevice::Config &config);
    // A Primora whose application shows itself as a serial port.
    EmulatedDfuDevice::Config serialPortPrimora(const QByteArray &serial, const QByteArray &port, int number);
    static EmulatedDfuDevice::Config primora(const QByteArray &serial, const QByteArray &port, int number,
                                             bool bootloader);
    // Runs vornic-cli; `whileRunning` is called once it has started.
    int runCli(const QStringList &arguments, const std::function<void()> &whileRunning, QByteArray *output);

    std::unique_ptr<DeviceBench> m_bench;
};

void ReturnedDeviceTest::init()
{
    m_bench.reset(new DeviceBench);
}

void ReturnedDeviceTest::cleanup()
{
    m_bench.reset();
}

EmulatedDfuDevice *ReturnedDeviceTest::add(const EmulatedDfuDevice::Config &config)
{
    return m_bench->add(config);
}

EmulatedDfuDevice::Config ReturnedDeviceTest::primora(const QByteArray &serial, const QByteArray &port, int number,
                                                      bool bootloader)
{
    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.serial = serial;
    config.at(port, number);
    config.productId = bootloader ? 0x8001 : 0x0001;
    config.initialState = bootloader ? EmulatedDfuDevice::DfuIdle : EmulatedDfuDevice::AppIdle;
    return config;
}

EmulatedDfuDevice::Config ReturnedDeviceTest::serialPortPrimora(const QByteArray &serial, const QByteArray &port,
                                                                int number)
{
    EmulatedDfuDevice::Config config = primora(serial, port, number, false);
    config.productId = 0x0011;
    config.deviceClass = 2;
    // Port lock files are shared by every process: a name of this one's own.
    config.ttyName = "ttyACM" + QByteArray::number(3000 + QCoreApplication::applicationPid() % 5000);
    return config;
}

int ReturnedDeviceTest::runCli(const QStringList &arguments, const std::function<void()> &whileRunning,
                               QByteArray *output)
{
    const CliRun run = CliRun::run(QStringLiteral(VORNIC_CLI), arguments, [&whileRunning](QProcess &) {
        if (whileRunning)
            whileRunning();
    }, 30000);
    *output = run.out + run.err;
    return run.code;
}

// The rule alone: which listed entry is the awaited device.
void ReturnedDeviceTest::rule_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("awaited");            // serial number, or port path
    QTest::addColumn<QStringList>("before");         // on the bus before the restart
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("found");
    QTest::addColumn<int>("candidates");
    const QStringList none;
    QTest::newRow("detach: the same whole port path")
        << 1 << "1-1.3" << none << QStringList { "1-2.3@5 0500E5F6 boot", "1-1.3@7 0500A1B2 boot" } << 1 << 1;
    QTest::newRow("detach: the same last port, behind another hub")
        << 1 << "1-1.3" << none << QStringList { "1-2.3@5 0500A1B2 boot", "1-3@6 0500A1B2 boot" } << -1 << 0;
    QTest::newRow("detach: there before the restart")
        << 1 << "1-1.3" << QStringList { "1-1.3@7" } << QStringList { "1-1.3@7 0500A1B2 boot" } << -1 << 0;
    QTest::newRow("detach: back in its application")
        << 1 << "1-1.3" << none << QStringList { "1-1.3@8 0500A1B2 app" } << -1 << 0;
    QTest::newRow("boot: the same serial number")
        << 0 << "0500C3D4" << none << QStringList { "1-6@9 C3D40001 boot", "1-4@8 0500C3D4 boot" } << 1 << 1;
    QTest::newRow("boot: the bootloader reports its end")
        << 0 << "0500C3D4" << none << QStringList { "1-4@8 00C3D4 boot" } << 0 << 1;
    QTest::newRow("boot: the last four, somewhere else")
        << 0 << "0500C3D4" << none << QStringList { "1-6@9 C3D40001 boot", "1-5@9 05C3D400 boot" } << -1 << 0;
    QTest::newRow("boot: an end shorter than four")
        << 0 << "0500C3D4" << none << QStringList { "1-4@8 D4 boot" } << -1 << 0;
    QTest::newRow("boot: a longer serial number ending in it")
        << 0 << "500C3D4" << none << QStringList { "1-4@8 0500C3D4 boot" } << -1 << 0;
    QTest::newRow("boot: one of them there before")
        << 0 << "0500C3D4" << QStringList { "1-6@3" }
        << QStringList { "1-6@3 0500C3D4 boot", "1-4@8 0500C3D4 boot" } << 1 << 1;
    QTest::newRow("boot: two new ones cannot be told apart")
        << 0 << "0500C3D4" << none << QStringList { "1-6@9 0500C3D4 boot", "1-4@8 C3D4 boot" } << -1 << 2;
    QTest::newRow("boot: still in its application")
        << 0 << "0500C3D4" << none << QStringList { "1-4@8 0500C3D4 app" } << -1 << 0;
    QTest::newRow("nothing awaited") << -1 << "" << none << QStringList { "1-4@8 0500C3D4 boot" } << -1 << 0;
}

void ReturnedDeviceTest::rule()
{
    QFETCH(int, mode);
    QFETCH(QString, awaited);
    QFETCH(QStringList, before);
    QFETCH(QStringList, entries);
    QFETCH(int, found);
    QFETCH(int, candidates);
    AwaitedDevice device;
    device.mode = mode;
    (mode == 0 ? device.serialNumber : device.portPath) = awaited;
    device.present = QSet<QString>(before.cbegin(), before.cend());
    QVector<UsbDeviceEntry> listed;
    for (const QString &description : qAsConst(entries))
        listed << entry(description);
    int counted = -1;
    QCOMPARE(UsbDeviceList::findReturnedDevice(device, listed, &counted), found);
    QCOMPARE(counted, candidates);
}

// Two of the maker's devices at once, alike but for what the rule looks at:
// only the chosen one receives a request that writes, it receives the whole
// image, and the outcome names it.
void ReturnedDeviceTest::twoDevices_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("cli");
    const QStringList scenarios { "another bootloader waits behind another hub on the same last port",
                                  "an unrelated bootloader holding the last four arrives first",
                                  "a bootloader of the same serial number was there before" };
    for (const QString &scenario : scenarios) {
        QTest::newRow(qPrintable(QStringLiteral("window: ") + scenario)) << scenario << false;
        QTest::newRow(qPrintable(QStringLiteral("vornic-cli: ") + scenario)) << scenario << true;
    }
    // Both plugged in one go, which only the window (in this process) sees
    // as a single arrival for certain.
    QTest::newRow("window: two bootloaders of the awaited serial number arrive at once")
        << QStringLiteral("two arrive at once") << false;
}

void ReturnedDeviceTest::twoDevices()
{
    QFETCH(QString, scenario);
    QFETCH(bool, cli);
    QVERIFY2(m_bench->isValid(), "run under umockdev-wrapper");
    const QByteArray image = TestImage::bytes(9 * 1024 + 100);
    const QString path = m_bench->storeImage(image);
    QVERIFY(!path.isEmpty());

    // The device the user chooses, the other one, and what happens after the
    // chosen one was told to restart.
    EmulatedDfuDevice *chosen = nullptr;
    EmulatedDfuDevice *other = nullptr;
    EmulatedDfuDevice *third = nullptr;
    QString chosenRow, deviceName, writtenRow, writtenPort;
    std::function<void()> afterRestart;
    if (scenario.startsWith(QLatin1String("another bootloader waits"))) {
        QVERIFY(!m_bench->testbed().addHub("1-1", 60).isEmpty() && !m_bench->testbed().addHub("1-2", 61).isEmpty());
        other = add(primora("0500E5F6", "1-2.3", 30, true));
        EmulatedDfuDevice::Config config = primora("0500A1B2", "1-1.3", 20, false);
        config.detachDelay = 300;
        chosen = add(config);
        chosenRow = QStringLiteral("Primora S/N: 0500A1B2 v.6.1.2");
        deviceName = QStringLiteral("1-1.3");
        writtenRow = QStringLiteral("Primora S/N: 0500A1B2 bootloader");
        writtenPort = deviceName;
    } else {
        EmulatedDfuDevice::Config config = serialPortPrimora("0500C3D4", "1-4", 20);
        config.detachDelay = scenario == QLatin1String("two arrive at once") ? -1 : 500;
        if (scenario.startsWith(QLatin1String("a bootloader of the same")))
            other = add(primora("0500C3D4", "1-6", 30, true));
        chosen = add(config);
        QVERIFY(chosen);
        chosenRow = QStringLiteral("Primora S/N: 0500C3D4 via ") + QString::fromLatin1(config.ttyName);
        deviceName = QString::fromLatin1(config.ttyName);
        writtenRow = QStringLiteral("Primora S/N: 0500C3D4 bootloader");
        writtenPort = QStringLiteral("1-4");
        if (scenario.startsWith(QLatin1String("an unrelated"))) {
            afterRestart = [&] { other = add(primora("C3D40001", "1-6", 30, true)); };
        } else if (scenario == QLatin1String("two arrive at once")) {
            afterRestart = [&] {
                other = add(primora("0500C3D4", "1-6", 30, true));
                third = add(primora("C3D4", "1-7", 40, true));
            };
        }
    }
    QVERIFY(chosen);
    const auto told = [&] {
        if (scenario.startsWith(QLatin1String("another")))
            return QTest::qWaitFor([&] { return chosen->detachReceived(); }, 5000);
        return QTest::qWaitFor([&] { return chosen->serialReceived() == "boot\n"; }, 5000);
    };
    const bool ambiguous = scenario == QLatin1String("two arrive at once");
    // What the devices hold, looked at first: it matters most.
    const auto onlyTheChosenWritten = [&] {
        QVERIFY(other);
        QCOMPARE(other->requestCount(0) + other->requestCount(1) + other->requestCount(6), 0);
        QVERIFY(other->downloaded().isEmpty());
        if (third)
            QCOMPARE(third->requestCount(0) + third->requestCount(1) + third->requestCount(6), 0);
        if (ambiguous) {
            QVERIFY(chosen->downloaded().isEmpty());
            return;
        }
        QCOMPARE(chosen->reenumerations(), 1);
        QCOMPARE(chosen->downloaded(), image);
    };

    if (cli) {
        QByteArray output;
        const int code = runCli({ "update", deviceName, path },
                                [&] {
                                    QVERIFY(told());
                                    if (afterRestart)
                                        afterRestart();
                                },
                                &output);
        onlyTheChosenWritten();
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(code == 0, output.constData());
        QVERIFY2(output.contains(QStringLiteral("Updated %1 (USB %2) with ").arg(writtenRow, writtenPort).toUtf8()),
                 output.constData());
    } else {
        std::unique_ptr<CMNDialog> window(new CMNDialog);
        probe(window).imagePath() = path;
        ui(window).lineEdit->setText(path);
        QListWidget *list = ui(window).listWidget;
        const auto rows = list->findItems(chosenRow, Qt::MatchExactly);
        QCOMPARE(rows.size(), 1);
        list->setCurrentItem(rows.first());
        window->updateUpdateButton();
        ModalDriver driver(ModalDriver::dismissAll());
        QTest::mouseClick(ui(window).updBtn, Qt::LeftButton);
        QVERIFY(told());
        if (afterRestart)
            afterRestart();
        const auto ended = [&] {
            return !probe(window).future().isRunning() && ui(window).updBtn->isEnabled() && probe(window).reconnectMode() == -1;
        };
        QVERIFY(QTest::qWaitFor(ended, 15000));
        onlyTheChosenWritten();
        if (QTest::currentTestFailed())
            return;
        if (ambiguous) {
            QTRY_COMPARE(driver.handledCount(), 1);
            QVERIFY2(driver.seen().at(0).startsWith(QLatin1String("Warning!|2 devices came back in their bootloader "
                                                                  "with serial number 0500C3D4")),
                     qPrintable(driver.seen().at(0)));
            QCOMPARE(ui(window).progressBar->text(), QStringLiteral("Update failed"));
        } else {
            QCOMPARE(driver.seen(), QStringList());
            QCOMPARE(list->currentItem()->text(), writtenRow);
            QCOMPARE(ui(window).progressBar->text(), QStringLiteral("Update complete"));
            QVERIFY(probe(window).traceEdit()->toPlainText().contains(QStringLiteral("Writing the device on USB port ")
                                                              + writtenPort));
        }
    }

}

QTEST_MAIN(ReturnedDeviceTest)
#include "tst_returneddevice.moc"
