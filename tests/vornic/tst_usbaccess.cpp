// A USB device of the maker that this user may not open (runs as a
// throwaway unprivileged user, with the emulated device's node closed to
// everyone): it is listed and marked, and "Update Firmware" says why.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "emulateddfudevice.h"
#include "modaldriver.h"
#include "privatesettings.h"
#include "usbtestbed.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class UsbAccessTest : public QObject
{
    Q_OBJECT
private slots:
    void deviceWithoutAccess();
};

void UsbAccessTest::deviceWithoutAccess()
{
    if (::geteuid() == 0)
        QSKIP("root opens every device node: run through as-unprivileged.sh");
    PrivateSettings settings;
    UsbTestbed testbed;
    QVERIFY2(testbed.isValid(), "run under umockdev-wrapper");
    EmulatedDfuDevice::Config config;
    config.product = "Primora";
    EmulatedDfuDevice device(config);
    QVERIFY(!device.plug(testbed).isEmpty());
    const QByteArray node = qgetenv("UMOCKDEV_DIR") + device.devNode().toLatin1();
    QCOMPARE(::chmod(node.constData(), 0), 0);
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("PR_TEST.INC"));
    QFile file(image);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(3000, 'x')) == 3000);
    file.close();

    CMNDialog window;
    QCOMPARE(window.ui->listWidget->count(), 1);
    QCOMPARE(window.ui->listWidget->item(0)->text(), QStringLiteral("Primora S/N: 0500A1B2 (no access)"));
    // The trace keeps its line.
    QVERIFY(window.traceEdit->toPlainText().contains(
        QLatin1String("Unable to access the device with vid = 15197, pid = 32769!")));

    window.imagePath = image;
    window.ui->lineEdit->setText(image);
    window.updateUpdateButton();
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(window.ui->updBtn, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.future.isRunning() && window.ui->updBtn->isEnabled(), 10000);
    QTRY_VERIFY(driver.handledCount() > 0);
    QCOMPARE(driver.seen(), QStringList({ "Warning!|This user may not open the USB device: install Ordane's device "
                                          "access rules (bash scripts/install.sh, or copy "
                                          "70-ordane-firmware-tools.rules as the README says) and plug the device "
                                          "in again." }));
    QCOMPARE(window.ui->progressBar->text(), QStringLiteral("Update failed"));
    QVERIFY(device.downloaded().isEmpty());
}

QTEST_MAIN(UsbAccessTest)
#include "tst_usbaccess.moc"
