// Tamsel's window with the simulated adapter: settings, controls, whole
// runs by both roads into the simulated pad, the trace capture, the
// adapter's removal during a run, and the "not connected" box.
#include "testhistory.h"
#include "historydialog.h"
#include "testimage.h"
#include "filenames.h"
#include "mainwindow.h"
#include "mainwindowprobe.h"
#include "tamselwidgets.h"

#include "logbrowser.h"
#include "logbrowserdialog.h"
#include "interruptsignal.h"
#include "modaldriver.h"
#include "widgetsbyname.h"
#include "firmwareimage.h"
#include "backupstore.h"
#include "privatesettings.h"
#include "simulatedsub20.h"

#include <QAction>
#include <QPushButton>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QTextBrowser>
#include <QCryptographicHash>
#include <QTableView>
#include <QtTest>

#include <csignal>
#include <memory>

#include <pty.h>
#include <unistd.h>

namespace {

const QString adapterPath = QStringLiteral("\\\\?\\USB#VID_04D8&PID_FFC3#0001#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

QSettings tamselSettings()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"), QStringLiteral("Tamsel"));
}

// Tamsel's settings as an earlier session left them.
void storeSettings(const QVariantMap &values)
{
    QSettings stored = tamselSettings();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        stored.setValue(it.key(), it.value());
}

// Closes message boxes without clicking their button: a click on Close
// while no adapter is open would quit the test.
ModalDriver::Handler closeQuietly(QStringList *texts)
{
    return [texts](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            texts->append(box->informativeText());
            box->done(QMessageBox::Close);
        } else if (auto *dialog = qobject_cast<QDialog *>(widget)) {
            dialog->reject();
        }
    };
}

} // namespace

class TamselWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void settings_data();
    void settings();
    void controls();
    void runs_data();
    void runs();
    void faultsEndTheRun_data();
    void faultsEndTheRun();
    void adapterEvents();
    void broadcastAsksFirst();
    void converterPortComesAndGoes();
    void verifyAfterWriting_data();
    void verifyAfterWriting();
    void restoreFromHistory();
    void signalEndsTheRunAndTheWindow_data();
    void signalEndsTheRunAndTheWindow();
    // Last: after it no event loop of this process runs again.
    void closeWithoutAdapterQuits();

private:
    void makeWindow();
    QString storeImage(const QByteArray &bytes, const QString &name = QStringLiteral("PAD.INC"));

    std::unique_ptr<PrivateSettings> m_settings;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MainWindow> m_window;
};

void TamselWindowTest::init()
{
    m_settings.reset(new PrivateSettings);
    m_dir.reset(new QTemporaryDir);
    qputenv("TAMSEL_ADAPTER", "simulated");
}

void TamselWindowTest::cleanup()
{
    m_window.reset();
    m_dir.reset();
    m_settings.reset();
}

void TamselWindowTest::makeWindow()
{
    m_window.reset(new MainWindow);
}

QString TamselWindowTest::storeImage(const QByteArray &bytes, const QString &name)
{
    return TestImage::store(m_dir->path(), name, bytes);
}

void TamselWindowTest::settings_data()
{
    QTest::addColumn<QVariant>("storedAddress");     // invalid: none stored
    QTest::addColumn<QVariant>("storedType");
    QTest::addColumn<QString>("spinText");
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("checked");            // the checked action, or empty
    QTest::newRow("first start") << QVariant() << QVariant() << "0x50" << 80 << "Connection via INFRARED"
                                 << "InfraRed";
    QTest::newRow("letter digit shows 0x0") << QVariant(0xA5) << QVariant(1) << "0x0" << 0xA5
                                            << "Connection via MODBUS" << "Modbus";
    QTest::newRow("type 2 checks nothing") << QVariant(0x19) << QVariant(2) << "0x19" << 0x19 << "No Connection" << "";
}

void TamselWindowTest::settings()
{
    QFETCH(QVariant, storedAddress);
    QFETCH(QVariant, storedType);
    QFETCH(QString, spinText);
    QFETCH(int, address);
    QFETCH(QString, label);
    QFETCH(QString, checked);
    {
        QSettings stored = tamselSettings();
        if (storedAddress.isValid())
            stored.setValue(QStringLiteral("settings/address"), storedAddress);
        if (storedType.isValid())
            stored.setValue(QStringLiteral("settings/connection_type"), storedType);
    }
    makeWindow();
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tamsel 1.0.0"));
    QCOMPARE(ui(m_window).spinBoxAdress->text(), spinText);
    QCOMPARE(probe(m_window).slaveAddress().load(), address);
    QCOMPARE(tamselSettings().value(QStringLiteral("settings/address")).toInt(), address);
    QCOMPARE(ui(m_window).labelDevName->text(), label);
    QStringList checkedActions;
    for (QAction *action : ui(m_window).menuActions->actions()) {
        if (action->isChecked())
            checkedActions << action->text();
    }
    QCOMPARE(checkedActions, checked.isEmpty() ? QStringList() : QStringList{ checked });

    // The spin box's digits are read as hexadecimal: 19 is 0x19 = 25.
    ui(m_window).spinBoxAdress->setValue(19);
    QCOMPARE(probe(m_window).slaveAddress().load(), 25);
    QCOMPARE(tamselSettings().value(QStringLiteral("settings/address")).toInt(), 25);

    ui(m_window).actionModbus->trigger();
    QVERIFY(ui(m_window).actionModbus->isChecked() && !ui(m_window).actionInfraRed->isChecked());
    QCOMPARE(ui(m_window).labelDevName->text(), QStringLiteral("Connection via MODBUS"));
    QCOMPARE(tamselSettings().value(QStringLiteral("settings/connection_type")).toInt(), 1);
}

void TamselWindowTest::controls()
{
    makeWindow();
    QCOMPARE(ui(m_window).updBtn->text(), QStringLiteral("Start Update"));
    QVERIFY(!ui(m_window).updBtn->isEnabled());

    // Start without an image.
    {
        QStringList boxes;
        ModalDriver quiet(closeQuietly(&boxes));
        ui(m_window).lineEdit->setText(QStringLiteral("x"));
        ui(m_window).lineEdit->clear();
        QVERIFY(!ui(m_window).updBtn->isEnabled());
        m_window->onUpdBtnClicked();
        QCOMPARE(boxes, QStringList({ "Image file not selected!" }));
    }

    // Choosing an image enables the button; cancelling keeps the image.
    const QString path = storeImage(QByteArray(10, 'x'));
    QString answer = path;
    ModalDriver chooser([&answer](QWidget *widget) {
        auto *files = qobject_cast<QFileDialog *>(widget);
        if (!files)
            return;
        if (answer.isEmpty()) {
            files->reject();
            return;
        }
        files->findChild<QLineEdit *>()->setText(answer);
        QTest::keyClick(files->findChild<QLineEdit *>(), Qt::Key_Return);
    });
    QTest::mouseClick(ui(m_window).loadImg, Qt::LeftButton);
    QCOMPARE(ui(m_window).lineEdit->text(), path);
    QVERIFY(ui(m_window).updBtn->isEnabled());
    QCOMPARE(tamselSettings().value(QStringLiteral("settings/filename")).toString(), path);
    answer.clear();
    QTest::mouseClick(ui(m_window).loadImg, Qt::LeftButton);
    QCOMPARE(probe(m_window).imageFileName(), path);
    QCOMPARE(ui(m_window).lineEdit->text(), path);

    // Progress shows the time since Start as minutes and seconds.
    probe(m_window).elapsedTime().start();
    ui(m_window).progressBar->setRange(0, 10);
    m_window->progressBarHandling(4);
    QCOMPARE(ui(m_window).progressBar->value(), 4);
    QCOMPARE(ui(m_window).progressBar->format(), QStringLiteral("Elapsed time: 00:00"));
    m_window->handleFinished();
    QCOMPARE(ui(m_window).progressBar->value(), 0);
    QVERIFY(ui(m_window).progressBar->format().isEmpty());
}

void TamselWindowTest::runs_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("padGets");         // what the pad reassembles, from the image
    QTest::addColumn<bool>("typed");                 // the path typed into the field
    QTest::newRow("infrared, 100 bytes") << 0 << 100 << QByteArray("blocks") << false;
    QTest::newRow("Modbus, 70 bytes") << 1 << 70 << QByteArray("exact") << false;
    QTest::newRow("Modbus, odd 33 bytes") << 1 << 33 << QByteArray("one zero") << false;
    QTest::newRow("Modbus, typed path") << 1 << 64 << QByteArray("exact") << true;
    // File names are bytes: one that is not UTF-8 is opened all the same.
    QTest::newRow("Modbus, a name that is not UTF-8") << 1 << 64 << QByteArray("exact") << false;
}

void TamselWindowTest::runs()
{
    QFETCH(int, type);
    QFETCH(int, size);
    QFETCH(QByteArray, padGets);
    QFETCH(bool, typed);
    storeSettings({ { "settings/connection_type", type } });
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 29 + 3);
    // (Named by its bytes, as a file copied from a Latin-1 system: only
    // names that keep their bytes reach it.)
    const bool notUtf8 = QByteArray(QTest::currentDataTag()).contains("not UTF-8");
    FileNames::install();
    const QString path = storeImage(image, notUtf8 ? FileNames::decode(QByteArray("PAD_\xe9.INC")) : QStringLiteral("PAD.INC"));
    QVERIFY(!path.isEmpty());
    QVERIFY(::access((FileNames::encode(m_dir->path()) + "/PAD_\xe9.INC").constData(), F_OK) == 0 || !notUtf8);
    storeSettings({ { "settings/filename", typed ? m_dir->filePath(QStringLiteral("OLD.INC")) : path } });
    makeWindow();
    // What the field shows is what is sent, and remembered.
    if (typed) {
        ui(m_window).lineEdit->clear();
        QTest::keyClicks(ui(m_window).lineEdit, path);
    }
    QVERIFY(probe(m_window).adapterHandle().load());
    auto *pad = reinterpret_cast<SimulatedSub20 *>(probe(m_window).adapterHandle().load());

    // Capture on: the run's lines reach the trace window.
    m_window->logHotKeyPressed();
    QVERIFY(probe(m_window).logBrowser()->dialog()->isVisible());
    QStringList boxes;
    ModalDriver quiet(closeQuietly(&boxes));
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(ui(m_window).updBtn->text(), QStringLiteral("Stop"));
    QVERIFY(!ui(m_window).loadImg->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(ui(m_window).updBtn->text(), QStringLiteral("Start Update"), 5000);
    QVERIFY(boxes.isEmpty());
    QVERIFY(ui(m_window).loadImg->isEnabled());
    QCOMPARE(tamselSettings().value(QStringLiteral("settings/filename")).toString(), path);
    // A completed run leaves the bar full, without text.
    QCOMPARE(ui(m_window).progressBar->value(), ui(m_window).progressBar->maximum());
    QVERIFY(ui(m_window).progressBar->text().isEmpty());

    // An odd image is evened out with one zero byte in its last record.
    const QByteArray expected = padGets == "one zero" ? image + '\0' : image;
    const QByteArray received = pad->image();
    if (type == 0) {
        // Whole 48-byte blocks: the first two of the image, then its last 4
        // bytes over the second block's tail.
        QCOMPARE(received.size(), 144);
        QCOMPARE(received.left(100), image);
        QCOMPARE(received.mid(100), image.mid(52, 44));
        QCOMPARE(pad->irTransmissions(), 9);
        QTRY_VERIFY(probe(m_window).logBrowser()->dialog()->findChild<QTextBrowser *>()->toPlainText().contains(QLatin1String("boot run")));
    } else {
        QCOMPARE(received, expected);
        QTRY_VERIFY(probe(m_window).logBrowser()->dialog()->findChild<QTextBrowser *>()->toPlainText().contains(QLatin1String("--> 50|15|")));
    }
    // One row in the update history, with the road and the image's hash.
    const UpdateHistory::Entry row = TestHistory::onlyRow();
    QCOMPARE(row.outcome, QStringLiteral("updated"));
    QCOMPARE(row.road, type == 0 ? QStringLiteral("ir") : QStringLiteral("modbus"));
    QCOMPARE(row.imageSha256, QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    // Capture off: nothing more arrives.
    m_window->logHotKeyPressed();
    QVERIFY(probe(m_window).logBrowser()->dialog()->isHidden());
    probe(m_window).logBrowser()->dialog()->findChild<QTextBrowser *>()->clear();
    qDebug() << "not captured";
    QCoreApplication::processEvents();
    QVERIFY(probe(m_window).logBrowser()->dialog()->findChild<QTextBrowser *>()->toPlainText().isEmpty());
    // Options > History... shows it.
    QAction *open = WidgetsByName::withText<QAction>(m_window.get(), QStringLiteral("History..."));
    QVERIFY(open);
    open->trigger();
    auto *dialog = m_window->findChild<HistoryDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    QTRY_VERIFY(dialog->isLoaded());
    const QAbstractItemModel *shown = dialog->findChild<QTableView *>()->model();
    QCOMPARE(shown->rowCount(), 1);
    QStringList cells;
    for (int column = 0; column < shown->columnCount(); ++column)
        cells << shown->index(0, column).data().toString();
    QVERIFY2(cells.contains(row.outcome) && cells.contains(row.road), qPrintable(cells.join(QLatin1Char('|'))));
    dialog->close();
}

// The window's side of the fault matrix: a pad or an adapter that fails at
// the first, a middle or the last record (or frame) ends the run with one
// box that says why, the controls back and the bar not full.
void TamselWindowTest::faultsEndTheRun_data()
{
    QTest::addColumn<int>("type");                   // 0 infrared, 1 Modbus
    QTest::addColumn<QString>("option");             // the simulated adapter's setting
    QTest::addColumn<int>("at");
    QTest::addColumn<QString>("says");
    const int records = 10;                          // 320 bytes: 10 records, 20 infrared sends of whole blocks
    for (const int at : { 1, records / 2, records }) {
        QTest::newRow(qPrintable(QStringLiteral("no answer to record %1").arg(at)))
            << 1 << "timeout_at" << at << "Modbus Timeout";
        QTest::newRow(qPrintable(QStringLiteral("exception to record %1").arg(at)))
            << 1 << "exception_at" << at << "Modbus Exception: Illegal Data Address";
        QTest::newRow(qPrintable(QStringLiteral("bad CRC to record %1").arg(at))) << 1 << "crc_error_at" << at
                                                                                  << "CRC error";
    }
    for (const int at : { 1, 10, 21 })
        QTest::newRow(qPrintable(QStringLiteral("infrared send %1 fails").arg(at)))
            << 0 << "transmit_error_at" << at << "SUB-20 sub_ir_tx: the transmission failed";
}

void TamselWindowTest::faultsEndTheRun()
{
    QFETCH(int, type);
    QFETCH(QString, option);
    QFETCH(int, at);
    QFETCH(QString, says);
    storeSettings({ { "settings/connection_type", type }, { "settings/filename", storeImage(QByteArray(320, 'p')) },
                    { QStringLiteral("adapter/") + option, at } });
    makeWindow();
    QStringList boxes;
    ModalDriver quiet(closeQuietly(&boxes));
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(ui(m_window).updBtn->text(), QStringLiteral("Stop"));
    QTRY_COMPARE_WITH_TIMEOUT(ui(m_window).updBtn->text(), QStringLiteral("Start Update"), 5000);
    QTRY_COMPARE(boxes.size(), 1);
    QVERIFY2(boxes.first().contains(says), qPrintable(boxes.first()));
    QVERIFY(ui(m_window).updBtn->isEnabled() && ui(m_window).loadImg->isEnabled() && ui(m_window).lineEdit->isEnabled());
    QVERIFY(ui(m_window).progressBar->value() < ui(m_window).progressBar->maximum());
    // A failed run is never kept as done.
    const UpdateHistory::Entry row = TestHistory::onlyRow();
    QVERIFY2(row.ended.isValid() && row.outcome != QLatin1String("updated") && row.outcome != QLatin1String("verified"),
             qPrintable(row.outcome));
}

void TamselWindowTest::adapterEvents()
{
    // Slow enough that a stopped run is seen still ending.
    storeSettings({ { "settings/connection_type", 1 }, { "adapter/delay_ms", 100 },
                    { "adapter/image", m_dir->filePath(QStringLiteral("pad.bin")) },
                    { "settings/filename", storeImage(QByteArray(32 * 200, 'p')) } });
    makeWindow();
    QVERIFY(probe(m_window).adapterHandle().load());
    QStringList boxes;
    ModalDriver quiet(closeQuietly(&boxes));

    // Another vendor's device changes nothing.
    m_window->handleDeviceChange(false, QStringLiteral("\\\\?\\USB#VID_1234&PID_0001#1#{guid}"));
    QVERIFY(probe(m_window).adapterHandle().load());

    // During a run only Stop is offered: the address and the image stay
    // those it began with. Stopped, a run may still be ending its request:
    // nothing can be started or changed until it has (no "Error:" box
    // whose Close could quit). Then the bar goes back to 0.
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(ui(m_window).progressBar->value() > 0);
    QVERIFY(ui(m_window).updBtn->isEnabled());
    QVERIFY(!ui(m_window).loadImg->isEnabled());
    QVERIFY(!ui(m_window).spinBoxAdress->isEnabled());
    QVERIFY(ui(m_window).lineEdit->isReadOnly());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(ui(m_window).updBtn->text(), QStringLiteral("Start Update"));
    QVERIFY(probe(m_window).future().isRunning());
    QVERIFY(!ui(m_window).updBtn->isEnabled());
    QVERIFY(!ui(m_window).loadImg->isEnabled());
    QTRY_VERIFY(ui(m_window).updBtn->isEnabled());
    QVERIFY(!probe(m_window).future().isRunning());
    QVERIFY(ui(m_window).loadImg->isEnabled());
    QVERIFY(ui(m_window).spinBoxAdress->isEnabled());
    QVERIFY(!ui(m_window).lineEdit->isReadOnly());
    QCOMPARE(ui(m_window).progressBar->value(), 0);
    QCOMPARE(boxes, QStringList());

    // Pulled out during a run: said at once; the run meets the null handle,
    // says so and ends; the old handle goes only when the run has ended.
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(ui(m_window).progressBar->value() > 0);
    m_window->handleDeviceChange(false, adapterPath);
    QVERIFY(!probe(m_window).adapterHandle().load());
    // The run's own report may open on top of this one.
    QVERIFY2(boxes.contains(QStringLiteral("SUB-20 not connected!")), qPrintable(boxes.join('|')));
    QCOMPARE(ui(m_window).updBtn->text(), QStringLiteral("Start Update"));
    QTRY_VERIFY(!probe(m_window).future().isRunning());
    QTRY_VERIFY(boxes.contains(QStringLiteral("sub_rs_xfer: no adapter is open")));
    // The old handle is released (the simulated pad writes its image then).
    QTRY_VERIFY(QFile::exists(m_dir->filePath(QStringLiteral("pad.bin"))));

    // Plugged in again: open, and the button follows the image field.
    m_window->handleDeviceChange(true, adapterPath);
    QVERIFY(probe(m_window).adapterHandle().load());
    QVERIFY(ui(m_window).updBtn->isEnabled());

    // Destroyed during a run: the run is stopped and waited for; the pad
    // (written out when the window closes the adapter) got part of it.
    QFile::remove(m_dir->filePath(QStringLiteral("pad.bin")));
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(ui(m_window).progressBar->value() > 0);
    m_window.reset();
    QFile pad(m_dir->filePath(QStringLiteral("pad.bin")));
    QVERIFY(pad.open(QIODevice::ReadOnly));
    const qint64 written = pad.size();
    QVERIFY2(written > 0 && written < 32 * 200, qPrintable(QString::number(written)));
    // Its row says it was stopped: the program did not die during it.
    QCOMPARE(TestHistory::rows().value(0).outcome, QStringLiteral("stopped"));
}

void TamselWindowTest::broadcastAsksFirst()
{
    storeSettings({ { "settings/connection_type", 1 }, { "settings/address", 0 },
                    { "settings/filename", storeImage(QByteArray(64, 'b')) } });
    makeWindow();
    // No pad answers a broadcast: Start asks first; Cancel starts nothing,
    // "Broadcast" sends it.
    for (const QString &answer : { QStringLiteral("Cancel"), QStringLiteral("Broadcast") }) {
        ModalDriver driver([&answer](QWidget *widget) {
            ModalDriver::pressButton(qobject_cast<QMessageBox *>(widget), answer);
        });
        QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
        QCOMPARE(driver.seen(), QStringList{ "Tamsel|Address 0x0 broadcasts the image to every pad on the line." });
        QCOMPARE(probe(m_window).runUnfinished(), answer == QLatin1String("Broadcast"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).runUnfinished(), 5000);
}

void TamselWindowTest::converterPortComesAndGoes()
{
    int master = -1;
    int slave = -1;
    char name[64] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    qunsetenv("TAMSEL_ADAPTER");
    storeSettings({ { "adapter/backend", QStringLiteral("rs485") }, { "adapter/port", QString::fromLatin1(name) } });
    makeWindow();
    ::close(slave);
    QVERIFY(probe(m_window).adapterHandle().load());
    QStringList boxes;
    ModalDriver quiet(closeQuietly(&boxes));
    // Other ports coming and going change nothing, nor does another device
    // of the adapter's maker: the converter's port is the adapter.
    probe(m_window).checkAdapterPort();
    m_window->handleDeviceChange(false, adapterPath);
    m_window->handleDeviceChange(true, adapterPath);
    QVERIFY(probe(m_window).adapterHandle().load());
    QCOMPARE(boxes, QStringList());
    ::close(master);
    probe(m_window).checkAdapterPort();
    QVERIFY(!probe(m_window).adapterHandle().load());
    QCOMPARE(boxes, QStringList({ "SUB-20 not connected!" }));
}

void TamselWindowTest::verifyAfterWriting_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("option");             // the simulated pad's setting
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("says");               // in a box, or the bar's tool tip
    QTest::addColumn<bool>("backup");                // "Back Up Before Writing" on too
    QTest::newRow("Modbus, read back") << 1 << "" << QVariant() << "Update complete, verified" << "" << false;
    QTest::newRow("Modbus, a byte differs") << 1 << "corrupt_read_at" << QVariant(100) << ""
                                            << "the byte at offset 100 (of 320)" << false;
    QTest::newRow("Modbus, the pad cannot read back") << 1 << "read_back" << QVariant(false)
                                                      << "Update complete, not verified" << "Illegal Function" << false;
    QTest::newRow("Modbus, a read unanswered") << 1 << "timeout_at" << QVariant(13) << "Update complete, not verified"
                                               << "The read-back of record 2 failed (Modbus Timeout)." << false;
    QTest::newRow("infrared") << 0 << "" << QVariant() << "Update complete, not verified"
                              << "Infrared has no way back from the pad." << false;
    QTest::newRow("Modbus, backed up first") << 1 << "" << QVariant() << "Update complete, verified" << "" << true;
    QTest::newRow("Modbus, no backup: not written") << 1 << "read_back" << QVariant(false) << ""
                                                    << "nothing was written" << true;
    QTest::newRow("infrared, no backup: not written") << 0 << "" << QVariant() << "" << "nothing was written" << true;
}

// "Verify After Writing" (remembered): the bar says "verified" only when
// every record read back equal; a difference is an error that says where.
void TamselWindowTest::verifyAfterWriting()
{
    QFETCH(int, type);
    QFETCH(QString, option);
    QFETCH(QVariant, value);
    QFETCH(QString, bar);
    QFETCH(QString, says);
    QFETCH(bool, backup);
    // What the pad held before: 64 bytes, two records.
    const QByteArray before(64, 'b');
    storeSettings({ { "settings/connection_type", type }, { "settings/filename", storeImage(QByteArray(320, 'v')) },
                    { "adapter/holds", TestImage::store(m_dir->path(), QStringLiteral("held.bin"), before) } });
    if (!option.isEmpty())
        storeSettings({ { QStringLiteral("adapter/") + option, value } });
    makeWindow();
    QVERIFY(!probe(m_window).verifyAction()->isChecked());
    probe(m_window).verifyAction()->setChecked(true);
    probe(m_window).backupAction()->setChecked(backup);
    makeWindow();
    QVERIFY(probe(m_window).verifyAction()->isChecked());
    QCOMPARE(probe(m_window).backupAction()->isChecked(), backup);
    QStringList boxes;
    ModalDriver quiet(closeQuietly(&boxes));
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ui(m_window).updBtn->text(), QStringLiteral("Start Update"), 5000);
    QTRY_VERIFY(!probe(m_window).future().isRunning());
    QCOMPARE(ui(m_window).progressBar->format(), bar);
    QCOMPARE(ui(m_window).progressBar->value() == ui(m_window).progressBar->maximum(), !bar.isEmpty());
    const QString said = boxes.join(QLatin1Char('|')) + ui(m_window).progressBar->toolTip();
    QVERIFY2(says.isEmpty() ? said.isEmpty() : said.contains(says), qPrintable(said));
    if (!backup)
        return;
    // Kept under its hash and named by the row; or nothing kept, and the
    // row's outcome no success.
    const QString sha256 = QString::fromLatin1(FirmwareImage::digestOf(before));
    QByteArray kept;
    const bool keeps = !bar.isEmpty();
    QCOMPARE(BackupStore().load(sha256, &kept), keeps ? BackupStore::Ok : BackupStore::Missing);
    QCOMPARE(kept, keeps ? before : QByteArray());
    m_window.reset();
    const UpdateHistory::Entry row = TestHistory::onlyRow();
    QCOMPARE(row.backupSha256, keeps ? sha256 : QString());
    QCOMPARE(row.outcome, keeps ? QStringLiteral("verified") : QStringLiteral("unreadable"));
}

// History's "Restore Previous Firmware...": asked first, naming the pad and
// the backup's hash, then written back into the pad the row names and read
// back, in a row that names the row restored.
void TamselWindowTest::restoreFromHistory()
{
    const QByteArray before(64, 'b');
    storeSettings({ { "settings/connection_type", 1 }, { "settings/filename", storeImage(QByteArray(320, 'v')) },
                    { "adapter/holds", TestImage::store(m_dir->path(), QStringLiteral("held.bin"), before) } });
    makeWindow();
    probe(m_window).backupAction()->setChecked(true);
    QStringList boxes;
    {
        ModalDriver quiet(closeQuietly(&boxes));
        QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning() && ui(m_window).updBtn->isEnabled(), 5000);
    }
    QCOMPARE(boxes, QStringList());
    const UpdateHistory::Entry backedUp = TestHistory::onlyRow();
    QVERIFY(!backedUp.backupSha256.isEmpty());

    WidgetsByName::withText<QAction>(m_window.get(), QStringLiteral("History..."))->trigger();
    auto *dialog = m_window->findChild<HistoryDialog *>();
    QTRY_VERIFY(dialog && dialog->isLoaded());
    dialog->findChild<QTableView *>()->selectRow(0);
    QStringList asked;
    ModalDriver driver(ModalDriver::pressing(QStringLiteral("Restore"), &asked));
    dialog->findChild<QPushButton *>(QStringLiteral("restore"))->click();
    QTRY_COMPARE(asked.size(), 1);
    QVERIFY2(asked.first().contains(QLatin1String("the pad at 0x50")) && asked.first().contains(backedUp.backupSha256),
             qPrintable(asked.first()));
    // (The box has been answered; the run starts once it has closed.)
    QTRY_COMPARE_WITH_TIMEOUT(ui(m_window).progressBar->format(), QStringLiteral("Update complete, verified"), 5000);
    QCOMPARE(asked.size(), 1);
    m_window.reset();
    const QVector<UpdateHistory::Entry> rows = TestHistory::rows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.first().restoredRow, backedUp.id);
    QCOMPARE(rows.first().imageSha256, backedUp.backupSha256);
    QCOMPARE(rows.first().outcome, QStringLiteral("verified"));
}

void TamselWindowTest::signalEndsTheRunAndTheWindow_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("signal");
    QTest::newRow("Modbus, SIGTERM") << 1 << int(SIGTERM);
    QTest::newRow("infrared, Ctrl+C") << 0 << int(SIGINT);
}

// A signal during a run: the run stops at its next record or frame, no box
// claims anything, the window closes, and the pad got only part of the
// image (written out when the adapter is closed).
void TamselWindowTest::signalEndsTheRunAndTheWindow()
{
    QFETCH(int, type);
    QFETCH(int, signal);
    const QString padFile = m_dir->filePath(QStringLiteral("pad.bin"));
    const int size = 48 * 100;
    storeSettings({ { "settings/connection_type", type }, { "adapter/delay_ms", 50 }, { "adapter/image", padFile },
                    { "settings/filename", storeImage(QByteArray(size, 'p')) } });
    makeWindow();
    m_window->show();
    QStringList boxes;
    ModalDriver quiet(closeQuietly(&boxes));
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QTRY_VERIFY(ui(m_window).progressBar->value() > 0);
    InterruptSignal::install();
    QElapsedTimer clock;
    clock.start();
    ::raise(signal);
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 1000);
    InterruptSignal::flag() = false;
    QTRY_VERIFY_WITH_TIMEOUT(!probe(m_window).future().isRunning(), 2000);
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(probe(m_window).future().result() != 0);
    m_window.reset();
    QCOMPARE(boxes, QStringList());
    QFile pad(padFile);
    QVERIFY(pad.open(QIODevice::ReadOnly));
    QVERIFY2(pad.size() > 0 && pad.size() < size, qPrintable(QString::number(pad.size())));

    // The last window closed, so the application was told to quit: one run
    // of its own loop clears that for the tests that follow.
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}

void TamselWindowTest::closeWithoutAdapterQuits()
{
    // With an adapter, Close keeps the program running.
    makeWindow();
    QVERIFY(probe(m_window).adapterHandle().load());
    bool pressed = false;
    QString said;
    ModalDriver driver([&pressed, &said](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            pressed = true;
            said = box->informativeText();
            box->button(QMessageBox::Close)->click();
        }
    });
    m_window->reportError(QStringLiteral("x"));
    QVERIFY(pressed);
    QEventLoop alive;
    QTimer::singleShot(100, &alive, [&alive] { alive.exit(7); });
    QCOMPARE(alive.exec(), 7);

    // Without one, "SUB-20 not connected!" comes at start and Close quits
    // the program: its loop, started afterwards, ends at once.
    m_window.reset();
    qputenv("TAMSEL_ADAPTER", "none");
    pressed = false;
    makeWindow();
    QVERIFY(pressed);
    // ... saying how to give Tamsel an adapter.
    QVERIFY2(said.startsWith(QLatin1String("SUB-20 not connected! Connect the adapter, or choose what stands for it "
                                           "in ~/.config/Ordane/Tamsel.ini")),
             qPrintable(said));
    QVERIFY(!probe(m_window).adapterHandle().load());
    QTimer::singleShot(2000, QCoreApplication::instance(), [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(TamselWindowTest)
#include "tst_tamselwindow.moc"
