// Devices of the maker that this user may not open (runs as a throwaway
// unprivileged user, with the emulated nodes closed to everyone): they are
// listed and marked, and "Update Firmware" says why and how to mend it.
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "emulateddfudevice.h"
#include "modaldriver.h"
#include "privatesettings.h"
#include "testimage.h"
#include "usbtestbed.h"

#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class DeviceAccessTest : public QObject
{
    Q_OBJECT
private slots:
    void deviceWithoutAccess();
    void serialPortWithoutAccess();
};

void DeviceAccessTest::deviceWithoutAccess()
{
    if (::geteuid() == 0)
        QSKIP("root opens every device node: run through as-unprivileged.sh");
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");
    EmulatedDfuDevice::Config config = EmulatedDfuDevice::primora();
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    // Beside it one whose node this user may open, as the rules grant.
    EmulatedDfuDevice::Config openConfig = config;
    openConfig.serial = "0500C3D4";
    openConfig.at("1-5", 5);
    EmulatedDfuDevice open(openConfig);
    QVERIFY(!open.plug(testbed).isEmpty());
    const QByteArray node = qgetenv("UMOCKDEV_DIR") + device.devNode().toLatin1();
    QCOMPARE(::chmod(node.constData(), 0), 0);
    QTemporaryDir dir;
    const QString image = TestImage::store(dir.path(), QStringLiteral("PR_TEST.INC"), QByteArray(3000, 'x'));
    QVERIFY(!image.isEmpty());

    CMNDialog window;
    QStringList rows = ui(&window).rowTexts();
    rows.sort();
    QCOMPARE(rows, QStringList({ "Primora S/N: 0500A1B2 (no access)", "Primora S/N: 0500C3D4 bootloader" }));
    // The trace keeps its line.
    QVERIFY(probe(&window).traceEdit()->toPlainText().contains(
        QLatin1String("Unable to access the device with vid = 15197, pid = 32769!")));

    probe(&window).chooseImage(image);
    ModalDriver driver(ModalDriver::dismissAll());
    // Without sudo, the device this user may open is written.
    ui(&window).listWidget->setCurrentItem(
        ui(&window).listWidget->findItems(QStringLiteral("Primora S/N: 0500C3D4 bootloader"), Qt::MatchExactly).at(0));
    QTest::mouseClick(ui(&window).updBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(&window).future().isRunning() && ui(&window).updBtn->isEnabled(), 10000);
    QCOMPARE(open.downloaded(), QByteArray(3000, 'x'));
    QCOMPARE(driver.handledCount(), 0);
    // The other one: a sentence instead of a silent failure.
    ui(&window).listWidget->setCurrentItem(
        ui(&window).listWidget->findItems(QStringLiteral("Primora S/N: 0500A1B2 (no access)"), Qt::MatchExactly).at(0));
    QTest::mouseClick(ui(&window).updBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!probe(&window).future().isRunning() && ui(&window).updBtn->isEnabled(), 10000);
    QTRY_VERIFY(driver.handledCount() > 0);
    QCOMPARE(driver.seen(), QStringList({ "Warning!|This user may not open the USB device: install Ordane's device "
                                          "access rules (bash scripts/install.sh, or copy "
                                          "70-ordane-firmware-tools.rules as the README says) and plug the device "
                                          "in again." }));
    QCOMPARE(ui(&window).progressBar->text(), QStringLiteral("Update failed"));
    QVERIFY(device.downloaded().isEmpty());
}

void DeviceAccessTest::serialPortWithoutAccess()
{
    if (::geteuid() == 0)
        QSKIP("root opens every device node: run through as-unprivileged.sh");
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");
    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    config.productId = 0x0011;
    config.deviceClass = 2;
    config.initialState = EmulatedDfuDevice::AppIdle;
    config.detachDelay = -1;
    config.ttyName = "ttyACM" + QByteArray::number(500 + QCoreApplication::applicationPid() % 400);
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    const QByteArray node = qgetenv("UMOCKDEV_DIR") + "/dev/" + config.ttyName;
    QCOMPARE(::chmod(node.constData(), 0), 0);
    QTemporaryDir dir;
    const QString image = TestImage::store(dir.path(), QStringLiteral("PR_TEST.INC"), QByteArray(3000, 'x'));
    QVERIFY(!image.isEmpty());

    CMNDialog window;
    QCOMPARE(ui(&window).listWidget->count(), 1);
    QCOMPARE(ui(&window).listWidget->item(0)->text(),
             QStringLiteral("Primora S/N: 0500A1B2 via %1 (no access)").arg(QString::fromLatin1(config.ttyName)));
    probe(&window).chooseImage(image);
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(&window).updBtn, Qt::LeftButton);
    QCOMPARE(driver.handledCount(), 1);
    const QString seen = driver.seen().at(0);
    QVERIFY2(seen.startsWith(QLatin1String("Error|"))
                 && seen.endsWith(QLatin1String(" This user may not open the serial port: add the user to the "
                                                "dialout group and log in again, or install Ordane's device "
                                                "access rules.")),
             qPrintable(seen));
    QVERIFY(device.serialReceived().isEmpty());
    QVERIFY(ui(&window).updBtn->isEnabled() && ui(&window).loadImg->isEnabled());
    device.unplug(testbed);
}

QTEST_MAIN(DeviceAccessTest)
#include "tst_deviceaccess.moc"
