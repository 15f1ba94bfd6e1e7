// Whether an image suits the selected row, and the two questions asked
// before an update starts.
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "modaldriver.h"
#include "privatesettings.h"

#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <memory>

class ImageMatchingTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void imageMatchesDevice_data();
    void imageMatchesDevice();
    void confirmations_data();
    void confirmations();
    void cancelStartsNothing_data();
    void cancelStartsNothing();
    void rowWithoutDeviceGivesControlsBack();

private:
    void selectRow(const QString &text, bool network, const QString &path);

    std::unique_ptr<PrivateSettings> m_settings;
    std::unique_ptr<CMNDialog> m_window;
    std::unique_ptr<NetworkDevice> m_record;
};

void ImageMatchingTest::init()
{
    m_settings.reset(new PrivateSettings);
    QVERIFY(m_settings->isValid());
    m_window.reset(new CMNDialog);
    ui(m_window).listWidget->clear();
}

void ImageMatchingTest::cleanup()
{
    m_window.reset();
    m_record.reset();
    m_settings.reset();
}

void ImageMatchingTest::selectRow(const QString &text, bool network, const QString &path)
{
    // A USB row holding a null device can be selected and checked, but an
    // update on it starts nothing.
    QVariant data = QVariant::fromValue(quintptr(0));
    if (network) {
        m_record.reset(new NetworkDevice(QStringLiteral("127.0.0.2"), 10102));
        data = QVariant::fromValue(static_cast<void *>(m_record.get()));
    }
    m_window->addListEntry(text, data);
    ui(m_window).lineEdit->setText(path);
    m_window->updateUpdateButton();
}

void ImageMatchingTest::imageMatchesDevice_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<bool>("network");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("matches");

    const QString primora = QStringLiteral("Primora S/N: 0500A1B2 v.1.0.6");
    QTest::newRow("Primora, PR and INC") << primora << false << "/fw/PR_2_1.INC" << true;
    QTest::newRow("Primora, INC without PR or INB") << primora << false << "/fw/BRDV_2_1.INC" << false;
    QTest::newRow("Primora, lower case") << primora << false << "/fw/pr_2_1.inc" << false;
    QTest::newRow("Primora, INB is not INC") << primora << false << "/fw/PR_2_1.INB" << false;
    QTest::newRow("Primora, INB beside INC") << primora << false << "/fw/X.INC.INB" << true;
    QTest::newRow("Bridonix, INC and BRDV") << "Bridonix S/N: 0300A1B2" << false << "/fw/BRDV_3.INC" << true;
    QTest::newRow("Bridonix, IN2") << "Bridonix S/N: 0300A1B2" << false << "/fw/BRDV_3.IN2" << false;
    // The file's own name counts, not its folders.
    QTest::newRow("Bridova, BRDV only in the folder") << "Bridova S/N: 0200A1B2" << false << "/fw/BRDV/image.INC"
                                                      << false;
    QTest::newRow("Primora, a Bridova image in PROD") << primora << false << "/PROD/BRDV_TEST.INC" << false;
    QTest::newRow("Primora, PR only in the folder") << primora << false << "/PROD/firmware.INC" << false;
    QTest::newRow("Primora, INC only in the folder") << primora << false << "/INC/PR_2_1.bin" << false;
    QTest::newRow("Socara, IN2 and SOCARA") << "Socara S/N: 0400A1B2" << false << "/fw/SOCARA_1.IN2" << true;
    QTest::newRow("Socara, INC") << "Socara S/N: 0400A1B2" << false << "/fw/SOCARA_1.INC" << false;
    QTest::newRow("Socara, lower case") << "Socara S/N: 0400A1B2" << false << "/fw/socara_1.IN2" << false;
    QTest::newRow("Beamora") << "Beamora S/N: 0600A1B2" << false << "/fw/BEAMORA.IN2" << true;
    QTest::newRow("Dongara") << "Dongara S/N: 0700A1B2" << false << "/fw/DG_1.IN2" << true;
    QTest::newRow("Dongara, Socara image") << "Dongara S/N: 0700A1B2" << false << "/fw/SOCARA_1.IN2" << false;
    QTest::newRow("network Primora, INC") << "Primora S/N: 0500A1B2 at 127.0.0.2" << true << "/fw/PR_1.INC"
                                          << false;
    QTest::newRow("network Primora, IN2") << "Primora S/N: 0500A1B2 at 127.0.0.2" << true << "/fw/PR_1.IN2"
                                          << true;
    QTest::newRow("network Primora, INB") << "Primora S/N: 0500A1B2 at 127.0.0.2" << true << "/fw/X.INB" << true;
    QTest::newRow("network Socara, INB alone") << "Socara S/N: 0400A1B2 at 127.0.0.2" << true << "/fw/X.INB"
                                               << false;
    QTest::newRow("unknown device") << "Unknown device S/N: 0800A1B2" << false << "/fw/PR.INC" << false;
    QTest::newRow("first word not a model") << "GW Net S/N: 0500A1B2" << false << "/fw/PR.INC" << false;
}

void ImageMatchingTest::imageMatchesDevice()
{
    QFETCH(QString, row);
    QFETCH(bool, network);
    QFETCH(QString, path);
    QFETCH(bool, matches);
    selectRow(row, network, path);
    QCOMPARE(probe(m_window).imageMatchesDevice(), matches);
}

void ImageMatchingTest::confirmations_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("questions");
    QTest::addColumn<bool>("goesOn");

    const QString unknown = QStringLiteral("Vornic|You are trying to upload the Firmware into  the Unknown device. ");
    const QString mismatch = QStringLiteral("Vornic|The Firmware Image doesn't match the device type!");

    QTest::newRow("matching image, no question") << "Primora S/N: 0500A1B2" << "/fw/PR.INC" << QStringList()
                                                 << QStringList() << true;
    QTest::newRow("mismatch, Ignore") << "Primora S/N: 0500A1B2" << "/fw/SOCARA.IN2" << QStringList{ "Ignore" }
                                      << QStringList{ mismatch } << true;
    QTest::newRow("mismatch, Cancel") << "Primora S/N: 0500A1B2" << "/fw/SOCARA.IN2" << QStringList{ "Cancel" }
                                      << QStringList{ mismatch } << false;
    QTest::newRow("mismatch, Escape") << "Primora S/N: 0500A1B2" << "/fw/SOCARA.IN2" << QStringList{ "" }
                                      << QStringList{ mismatch } << false;
    QTest::newRow("unknown, Upload then Ignore") << "Unknown device S/N: 1" << "/fw/PR.INC"
                                                 << QStringList{ "Upload", "Ignore" }
                                                 << QStringList{ unknown, mismatch } << true;
    QTest::newRow("unknown, Cancel") << "Unknown device S/N: 1" << "/fw/PR.INC" << QStringList{ "Cancel" }
                                     << QStringList{ unknown } << false;
    QTest::newRow("unknown, Upload then Cancel") << "Unknown device S/N: 1" << "/fw/PR.INC"
                                                 << QStringList{ "Upload", "Cancel" }
                                                 << QStringList{ unknown, mismatch } << false;
    QTest::newRow("Undefined in a known model's row") << "Primora Undefined" << "/fw/PR.INC"
                                                      << QStringList{ "Upload" } << QStringList{ unknown } << true;
}

void ImageMatchingTest::confirmations()
{
    QFETCH(QString, row);
    QFETCH(QString, path);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, questions);
    QFETCH(bool, goesOn);
    selectRow(row, false, path);

    int asked = 0;
    ModalDriver driver([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        QVERIFY(box);
        QCOMPARE(box->parentWidget(), m_window.get());
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->buttons().size(), 2);
        // The first button goes on and is the default; Cancel is Escape.
        const QString goOn = box->text().contains(QLatin1String("Unknown")) ? QStringLiteral("Upload")
                                                                            : QStringLiteral("Ignore");
        QCOMPARE(box->defaultButton()->text(), goOn);
        QCOMPARE(box->escapeButton()->text(), QStringLiteral("Cancel"));
        // The mismatch says what the device takes (nothing for an unknown
        // model).
        if (goOn == QLatin1String("Ignore"))
            QCOMPARE(box->informativeText(),
                     row.startsWith(QLatin1String("Primora"))
                         ? QStringLiteral("A Primora takes an image whose file name contains PR or INB, and INC, in "
                                          "capitals (for example PR.INC).")
                         : QString());
        ModalDriver::pressButton(box, answers.value(asked++));
    });
    QCOMPARE(probe(m_window).confirmUpdate(), goesOn);
    QCOMPARE(driver.seen(), questions);
}

void ImageMatchingTest::cancelStartsNothing_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("path");
    QTest::newRow("Cancel the mismatch") << "Primora S/N: 0500A1B2" << QStringList{ "Cancel" } << "/fw/SOCARA.IN2";
    QTest::newRow("Cancel the unknown device") << "Unknown device S/N: 1" << QStringList{ "Cancel" }
                                               << "/fw/SOCARA.IN2";
    QTest::newRow("Cancel after Upload") << "Unknown device S/N: 1" << QStringList{ "Upload", "Cancel" }
                                         << "/fw/SOCARA.IN2";
    // Said before any question about the match.
    QTest::newRow("no image chosen") << "Unknown device S/N: 1" << QStringList{ "OK" } << "   ";
}

void ImageMatchingTest::cancelStartsNothing()
{
    QFETCH(QString, row);
    QFETCH(QStringList, answers);
    QFETCH(QString, path);
    selectRow(row, false, path);
    QVERIFY(ui(m_window).updBtn->isEnabled());

    int asked = 0;
    ModalDriver driver([&](QWidget *widget) {
        ModalDriver::pressButton(qobject_cast<QMessageBox *>(widget), answers.value(asked++));
    });
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(driver.handledCount(), answers.size());
    if (path.trimmed().isEmpty())
        QCOMPARE(driver.seen(), QStringList{ "Vornic|Choose a firmware image first." });
    QVERIFY(ui(m_window).updBtn->isEnabled());
    QVERIFY(ui(m_window).loadImg->isEnabled());
    QVERIFY(probe(m_window).contextMenu().isEnabled());
    QVERIFY(!probe(m_window).future().isRunning());
    QCOMPARE(probe(m_window).reconnectMode().load(), -1);
}

void ImageMatchingTest::rowWithoutDeviceGivesControlsBack()
{
    selectRow(QStringLiteral("Primora S/N: 0500A1B2"), false, QStringLiteral("/fw/PR.INC"));
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(driver.handledCount(), 0);
    QVERIFY(!probe(m_window).future().isRunning());
    QVERIFY(ui(m_window).updBtn->isEnabled());
    QVERIFY(ui(m_window).loadImg->isEnabled());
    QVERIFY(probe(m_window).contextMenu().isEnabled());
}

QTEST_MAIN(ImageMatchingTest)
#include "tst_imagematching.moc"
