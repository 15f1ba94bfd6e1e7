// Network devices through the window, over real TCP on loopback against the
// simulated device: adding by address (messages, duplicates, settings),
// "Refresh List", and an update with its result dialogs and the reboot.
#include "testimage.h"
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "ipconnectdialog.h"
#include "ipwidget.h"
#include "network/task.h"

#include "interruptsignal.h"

#include "modaldriver.h"
#include "privatesettings.h"
#include "scriptedpeer.h"
#include "simulateddevice.h"
#include "testhistory.h"

#include <QAction>
#include <QGuiApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QElapsedTimer>
#include <QtTest>

#include <csignal>
#include <memory>

class NetworkWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void addByAddress_data();
    void addByAddress();
    void refreshKeepsOnlyAnsweringDevices();
    void cancelCreatesNothing();
    void updateAndItsEnd_data();
    void updateAndItsEnd();
    void followUpReachesTheUpdatedDevice_data();
    void followUpReachesTheUpdatedDevice();
    void oneCheckAtATime();
    void verifiedByTheDevicesCheck_data();
    void verifiedByTheDevicesCheck();
    void closedWhileTheLastAcknowledgementsAreAwaited_data();
    void closedWhileTheLastAcknowledgementsAreAwaited();

private:
    // Adds a device through the dialog, as the user does.
    void addThroughDialog(const QString &ip, quint16 port);
    // Makes `image` the window's chosen image (a ".IN2" for a Primora).
    bool chooseImage(const QByteArray &image, const QString &name = QStringLiteral("PR_NET.IN2"));

    std::unique_ptr<PrivateSettings> m_settings;
    std::unique_ptr<CMNDialog> m_window;
    QTemporaryDir m_dir;
};

bool NetworkWindowTest::chooseImage(const QByteArray &image, const QString &name)
{
    const QString path = TestImage::store(m_dir.path(), name, image);
    if (path.isEmpty())
        return false;
    probe(m_window).chooseImage(path);
    return true;
}

void NetworkWindowTest::init()
{
    m_settings.reset(new PrivateSettings);
    m_window.reset(new CMNDialog);
}

void NetworkWindowTest::cleanup()
{
    m_window.reset();
    m_settings.reset();
}

void NetworkWindowTest::addThroughDialog(const QString &ip, quint16 port)
{
    QTest::mouseClick(ui(m_window).addNetworkDeviceBtn, Qt::LeftButton);
    IPConnectDialog *dialog = probe(m_window).connectDialog();
    QVERIFY(dialog && dialog->isVisible());
    dialog->setAddress(ip, port);
    QPushButton *add = WidgetsByName::withText<QPushButton>(dialog, QStringLiteral("Add Device"));
    QVERIFY(add);
    QTest::mouseClick(add, Qt::LeftButton);
    QVERIFY(!probe(m_window).connectDialog());
}

void NetworkWindowTest::addByAddress_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QByteArray>("firmware");
    QTest::addColumn<QByteArray>("bootloader");
    QTest::addColumn<QString>("answer");            // button pressed in the message box
    QTest::addColumn<QString>("message");           // "title|text" begins so; empty: none
    QTest::addColumn<QString>("row");               // empty: not added
    QTest::newRow("identified") << QByteArray("0500A1B2") << QByteArray("3.2") << QByteArray("1.1") << "" << ""
                                << "Primora S/N: 0500A1B2 at 127.0.0.1";
    QTest::newRow("old bootloader, Ignore") << QByteArray("03D0001") << QByteArray("1.3") << QByteArray("1.0")
                                            << "Ignore" << "Network update impossible|The current bootloader"
                                            << "Socara S/N: 03D0001 at 127.0.0.1";
    QTest::newRow("old bootloader, Cancel") << QByteArray("03D0001") << QByteArray("1.3") << QByteArray("1.0")
                                            << "Cancel" << "Network update impossible|The current bootloader" << "";
    QTest::newRow("old firmware") << QByteArray("0500A1B2") << QByteArray("3.1") << QByteArray("1.1") << "OK"
                                  << "Network update impossible|The current firmware" << "";
    QTest::newRow("names nothing") << QByteArray() << QByteArray() << QByteArray("1.1") << "OK"
                                   << "Failed to add a device|The device at 127.0.0.1:%1 did not say what it is" << "";
    QTest::newRow("nobody listening") << QByteArray("-") << QByteArray() << QByteArray() << "OK"
                                      << "Failed to add a device!|Can't find an Ordane device at ip: 127.0.0.1:%1" << "";
}

void NetworkWindowTest::addByAddress()
{
    QFETCH(QByteArray, serial);
    QFETCH(QByteArray, firmware);
    QFETCH(QByteArray, bootloader);
    QFETCH(QString, answer);
    QFETCH(QString, message);
    QFETCH(QString, row);
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.serialNumber = serial;
    options.firmwareVersion = firmware;
    options.bootloaderVersion = bootloader;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());
    quint16 port = simulated.port();
    if (serial == "-") {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost, 0);
        port = closed.serverPort();
    }

    ModalDriver driver([&answer](QWidget *widget) {
        ModalDriver::pressButton(qobject_cast<QMessageBox *>(widget), answer);
    });
    addThroughDialog(QStringLiteral("127.0.0.1"), port);
    QTRY_VERIFY(!probe(m_window).pendingDevice());
    QCOMPARE(driver.seen().size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty())
        QVERIFY2(driver.seen().at(0).startsWith(message.contains(QLatin1String("%1")) ? message.arg(port) : message), qPrintable(driver.seen().at(0)));
    QCOMPARE(ui(m_window).rowTexts(), row.isEmpty() ? QStringList() : QStringList{ row });
    // Nothing stays behind once the report is in: no task, and no record of
    // a device that was not added (many checks must not pile them up).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_window->findChildren<Task *>().size(), 0);
    QCOMPARE(m_window->findChildren<NetworkDevice *>().size(), row.isEmpty() ? 0 : 1);
    if (row.isEmpty()) {
        QVERIFY(probe(m_window).networkDevices().isEmpty());
        return;
    }
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"), QStringLiteral("Vornic"));
    QCOMPARE(settings.value(QStringLiteral("settings/last_ip")).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(settings.value(QStringLiteral("settings/port")).toInt(), int(port));

    // The same address again: one row, and the duplicate is written down.
    QTest::ignoreMessage(QtDebugMsg, "Device with IP = 127.0.0.1 exists!");
    addThroughDialog(QStringLiteral("127.0.0.1"), port);
    QTRY_VERIFY(!probe(m_window).pendingDevice());
    QCOMPARE(ui(m_window).rowTexts(), QStringList{ row });
    QCOMPARE(probe(m_window).networkDevices().size(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_window->findChildren<NetworkDevice *>().size(), 1);
}

void NetworkWindowTest::refreshKeepsOnlyAnsweringDevices()
{
    NetworkDeviceSimulator::Options options;
    options.address = QHostAddress(QStringLiteral("127.0.0.2"));
    options.port = 0;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());
    ScriptedPeer silent([](ScriptedPeer &, const QByteArray &) {});
    addThroughDialog(QStringLiteral("127.0.0.2"), simulated.port());
    QTRY_COMPARE(ui(m_window).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2" }));
    // A device that has gone quiet since it was added.
    auto *quiet = new NetworkDevice(QStringLiteral("127.0.0.1"), silent.port(), m_window.get());
    quiet->setSerialNumber(QStringLiteral("03D0001"));
    quiet->setType(4);
    probe(m_window).networkDevices().append(quiet);
    m_window->enumDevices();
    QCOMPARE(ui(m_window).rowTexts().size(), 2);

    ModalDriver driver(ModalDriver::dismissAll());
    probe(m_window).refreshAction()->trigger();
    QCOMPARE(ui(m_window).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.2" }));
    QCOMPARE(probe(m_window).networkDevices().size(), 1);
    // The quiet one is said to be gone, not dropped in silence.
    QCOMPARE(driver.seen(), QStringList{ QStringLiteral("Failed to add a device|The device at 127.0.0.1:%1 did not say "
                                                        "what it is: its answer holds no serial number or version.")
                                             .arg(silent.port()) });
    QCOMPARE(simulated.journal().filter(QStringLiteral("command set")).size(), 2);
}

void NetworkWindowTest::cancelCreatesNothing()
{
    QTest::mouseClick(ui(m_window).addNetworkDeviceBtn, Qt::LeftButton);
    QPointer<IPConnectDialog> dialog = probe(m_window).connectDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Add Network Device"));
    // A second press brings the same dialog forward.
    QTest::mouseClick(ui(m_window).addNetworkDeviceBtn, Qt::LeftButton);
    QCOMPARE(probe(m_window).connectDialog(), dialog.data());
    QTest::mouseClick(WidgetsByName::withText<QPushButton>(dialog, QStringLiteral("Cancel")), Qt::LeftButton);
    QVERIFY(!probe(m_window).connectDialog());
    QTRY_VERIFY(!dialog);
    QVERIFY(!probe(m_window).pendingDevice());
    QCOMPARE(m_window->findChildren<NetworkDevice *>().size(), 0);
    QVERIFY(ui(m_window).rowTexts().isEmpty());
}

void NetworkWindowTest::updateAndItsEnd_data()
{
    // silent, check refused, or "<kind>@<step>" (close, reset, garbage,
    // refuse at "record <k>", "header" or "check"); empty: none. "W:" in
    // front: a 'W' image (records only, no header, no check).
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("answer");            // in the result dialog
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("last");              // the device's last command
    QTest::newRow("written, Escape reboots") << "" << "escape"
                                             << "Firmware upload completed|To run new firmware, press Reboot!"
                                             << "command boot";
    QTest::newRow("written, Enter closes the image") << "" << "enter"
                                                     << "Firmware upload completed|To run new firmware, press Reboot!"
                                                     << "start I0";
    QTest::newRow("device goes quiet") << "silent" << "" << "Firmware upload failed|Communication timout" << "record";
    // The explanation says the device's check refused the whole image.
    QTest::newRow("check refused") << "check refused" << "" << "Firmware upload failed|Protocol error" << "check";
    // The window's side of the fault matrix: a box that says the upload
    // failed, the controls back, the bar saying so.
    QTest::newRow("reset at a middle record") << "reset@record 16" << "" << "Firmware upload failed|" << "record";
    QTest::newRow("closed at the last record") << "close@record 32" << "" << "Firmware upload failed|" << "record";
    // (A faulty answer to the header or the check leaves the command out
    // of the device's journal: the last one noted is the one before.)
    QTest::newRow("no status word to the header") << "garbage@header" << "" << "Firmware upload failed|" << "record";
    QTest::newRow("ERROR to the header") << "refuse@header" << "" << "Firmware upload failed|Protocol error"
                                         << "record";
    QTest::newRow("closed at the check") << "close@check" << "" << "Firmware upload failed|" << "header";
    // Every record and the header taken, and no connection for the check:
    // written, not checked (never "did not take").
    QTest::newRow("check's connection refused") << "unreachable@header" << ""
                                                << "Firmware upload not checked|The device at" << "header";
    // A 'W' image: success has no box (nothing asks to reboot a device
    // whose check was never asked), only the bar; a fault still has one.
    QTest::newRow("W: written") << "W:" << "" << "" << "record";
    QTest::newRow("W: reset at a middle record") << "W:reset@record 16" << "" << "Firmware upload failed|" << "record";
    QTest::newRow("W: ERROR to the last record") << "W:refuse@record 32" << ""
                                                 << "Firmware upload failed|Protocol error" << "record";
    QTest::newRow("W: closed at the last record") << "W:close@record 32" << "" << "Firmware upload failed|"
                                                  << "record";
    // Gone between the add and the update: said, not silent.
    QTest::newRow("device gone")
        << "silent" << "" << "Firmware upload failed|The device did not accept a connection; nothing was written."
        << "";
}

void NetworkWindowTest::updateAndItsEnd()
{
    QFETCH(QString, fault);
    QFETCH(QString, answer);
    QFETCH(QString, message);
    QFETCH(QString, last);
    const bool wImage = fault.startsWith(QLatin1String("W:"));
    fault.remove(QRegularExpression(QStringLiteral("^W:")));
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.silentFromRecord = fault == QLatin1String("silent") ? 1 : 0;
    options.wrongCrc = fault == QLatin1String("check refused");
    if (fault.contains(QLatin1Char('@'))) {
        using Fault = NetworkDeviceSimulator::Fault;
        const QString kind = fault.section(QLatin1Char('@'), 0, 0);
        options.fault = kind == QLatin1String("close") ? Fault::Close
            : kind == QLatin1String("reset")           ? Fault::Reset
            : kind == QLatin1String("garbage")         ? Fault::Garbage
            : kind == QLatin1String("unreachable")     ? Fault::Unreachable
                                                       : Fault::Refuse;
        options.faultStep = fault.section(QLatin1Char('@'), 1).toLatin1();
    }
    const bool silent = !fault.isEmpty();
    const bool unchecked = fault.startsWith(QLatin1String("unreachable"));
    auto simulated = std::make_unique<SimulatedDevice>(options);
    QVERIFY(simulated->isListening());
    addThroughDialog(QStringLiteral("127.0.0.1"), simulated->port());
    QTRY_COMPARE(ui(m_window).rowTexts().size(), 1);
    const bool gone = last.isEmpty();
    if (gone)
        simulated.reset();

    QByteArray image(1000, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 13 + 5);
    QVERIFY(chooseImage(image, wImage ? QStringLiteral("PR_INB.IN2") : QStringLiteral("PR_NET.IN2")));
    QVERIFY(ui(m_window).updBtn->isEnabled());

    QStringList buttons;
    QString explanation;
    bool lockedMeanwhile = false;
    ModalDriver driver([&](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        explanation = box->informativeText();
        for (QAbstractButton *button : box->buttons())
            buttons << button->text();
        if (answer == QLatin1String("escape"))
            QTest::keyClick(box, Qt::Key_Escape);
        else if (answer == QLatin1String("enter"))
            QTest::keyClick(box, Qt::Key_Return);
        else
            ModalDriver::pressButton(box, QStringLiteral("Dismiss"));
    });
    // Controls are locked while the upload runs: a row change unlocks nothing.
    QTimer::singleShot(50, m_window.get(), [&] {
        m_window->checkDeviceList();
        lockedMeanwhile = !ui(m_window).updBtn->isEnabled() && !ui(m_window).loadImg->isEnabled();
    });
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    // (A quiet device keeps the upload going for 5 s, well past the look.)
    QVERIFY(lockedMeanwhile || !silent || gone);
    QCOMPARE(driver.seen().size(), message.isEmpty() ? 0 : 1);
    QVERIFY2(message.isEmpty() || driver.seen().first().startsWith(message), qPrintable(driver.seen().join('|')));
    if (fault == QLatin1String("check refused"))
        QCOMPARE(explanation, QStringLiteral("Protocol error: the device at 127.0.0.1:%1 refused its check of the whole image.")
                                  .arg(simulated->port()));
    QCOMPARE(buttons, silent ? QStringList{ "Dismiss" }
                      : wImage ? QStringList()
                               : QStringList({ "Reboot", "Cancel" }));
    QVERIFY(ui(m_window).updBtn->isEnabled() && ui(m_window).loadImg->isEnabled());
    QCOMPARE(ui(m_window).progressBar->text(), unchecked ? QStringLiteral("Update complete, not verified")
                                                : silent  ? QStringLiteral("Update failed")
                                                          : QStringLiteral("Update complete"));
    // One row in the history, ended, naming the device and the image, and
    // claiming a written image only when the bar did.
    const UpdateHistory::Entry row = TestHistory::onlyRow();
    QVERIFY2(row.ended.isValid() && row.road == QLatin1String("network") && row.place.startsWith(QLatin1String("127.0.0.1:")),
             qPrintable(row.road + QLatin1Char(' ') + row.place));
    QCOMPARE(row.imageSha256, QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    QVERIFY2(QStringList({ "updated", "verified", "not verifiable" }).contains(row.outcome) == (!silent || unchecked)
                 && row.outcome != QLatin1String("failed"),
             qPrintable(row.outcome));
    if (gone)
        return;
    QTRY_VERIFY(simulated->allClosed());
    const QStringList journal = simulated->journal();
    const QStringList commands = journal.filter(QRegularExpression(QStringLiteral("^\\d+@")));
    QVERIFY2(commands.last().section(QLatin1Char(' '), 1).startsWith(last), qPrintable(commands.last()));
    if (wImage) {
        QVERIFY(journal.filter(QRegularExpression(QStringLiteral("header|check|start"))).isEmpty());
        if (!silent)
            QCOMPARE(simulated->image('W'), image);
    } else if (!silent) {
        // The device's check passed; after a reboot the image stays as it
        // came ("iwr I0 " announces a new one and the device starts over).
        QCOMPARE(journal.filter(QStringLiteral("check OK")).size(), 1);
        if (answer == QLatin1String("escape"))
            QCOMPARE(simulated->image('I'), image);
    }
}

void NetworkWindowTest::followUpReachesTheUpdatedDevice_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("last");
    QTest::newRow("Escape reboots") << "escape" << "command boot";
    QTest::newRow("Enter closes the image") << "enter" << "start I0";
}

// Two network devices listed; the row and the list change while the first
// one is written: the command that follows the upload still reaches it,
// and the other device is told nothing but its check.
void NetworkWindowTest::followUpReachesTheUpdatedDevice()
{
    QFETCH(QString, answer);
    QFETCH(QString, last);
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.recordDelay = 2;
    SimulatedDevice chosen(options);
    options.address = QHostAddress(QStringLiteral("127.0.0.2"));
    options.serialNumber = "0500E5F6";
    SimulatedDevice other(options);
    QVERIFY(chosen.isListening() && other.isListening());
    addThroughDialog(QStringLiteral("127.0.0.1"), chosen.port());
    QTRY_VERIFY(!probe(m_window).pendingDevice());
    addThroughDialog(QStringLiteral("127.0.0.2"), other.port());
    QTRY_VERIFY(!probe(m_window).pendingDevice());
    QListWidget *list = ui(m_window).listWidget;
    QCOMPARE(ui(m_window).rowTexts(), QStringList({ "Primora S/N: 0500A1B2 at 127.0.0.1",
                                                "Primora S/N: 0500E5F6 at 127.0.0.2" }));
    list->setCurrentRow(0);

    QVERIFY(chooseImage(QByteArray(32 * 60, 'x')));

    // While the upload runs the user clicks the other row and a device
    // arrives: the list neither follows the click nor is rebuilt.
    bool lockedMeanwhile = false;
    QTimer::singleShot(30, m_window.get(), [&] {
        QListWidgetItem *first = list->item(0);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
        QTest::ignoreMessage(QtDebugMsg, "blocked");
        m_window->enumDevices();
        lockedMeanwhile = list->currentRow() == 0 && list->item(0) == first && !list->isEnabled();
    });
    // Something still makes the other row current before the answer.
    ModalDriver driver([&](QWidget *widget) {
        list->setCurrentRow(1);
        QTest::keyClick(widget, answer == QLatin1String("escape") ? Qt::Key_Escape : Qt::Key_Return);
    });
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(driver.seen(), QStringList{ "Firmware upload completed|To run new firmware, press Reboot!" });

    QTRY_VERIFY(chosen.allClosed() && other.allClosed());
    const QStringList commands = chosen.journal().filter(QRegularExpression(QStringLiteral("^\\d+@")));
    QVERIFY2(commands.last().section(QLatin1Char(' '), 1).startsWith(last), qPrintable(commands.last()));
    const QStringList told = other.journal().filter(QRegularExpression(QStringLiteral("^\\d+@")));
    for (const QString &line : told) {
        const QString command = line.section(QLatin1Char(' '), 1);
        QVERIFY2(command == QLatin1String("command set") || command == QLatin1String("command boot v"),
                 qPrintable(line));
    }
    QVERIFY(lockedMeanwhile);
    QVERIFY(list->isEnabled() && ui(m_window).updBtn->isEnabled());
}

// "Add Device" pressed again while the device is being checked: one check,
// one record with its own answer, and the wait cursor goes with the dialog.
void NetworkWindowTest::oneCheckAtATime()
{
    ScriptedPeer slow([](ScriptedPeer &peer, const QByteArray &received) {
        if (received.endsWith("set\r\n"))
            peer.say("S/N: 0500A1B2\r\nversion: 3.2\r\nOK\r\n", 300);
        else if (received.endsWith("boot v\r\n"))
            peer.say("boot v1.1\r\nOK\r\n");
    });
    QTest::mouseClick(ui(m_window).addNetworkDeviceBtn, Qt::LeftButton);
    QPointer<IPConnectDialog> dialog = probe(m_window).connectDialog();
    QVERIFY(dialog);
    dialog->setAddress(QStringLiteral("127.0.0.1"), slow.port());
    QPushButton *add = WidgetsByName::withText<QPushButton>(dialog, QStringLiteral("Add Device"));
    QVERIFY(add);
    bool offMeanwhile = false;
    QTimer::singleShot(100, add, [&] {
        offMeanwhile = !add->isEnabled();
        QTest::mouseClick(add, Qt::LeftButton);
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    QTest::mouseClick(add, Qt::LeftButton);
    QTRY_VERIFY(!probe(m_window).pendingDevice());
    QTRY_VERIFY(!dialog);
    QCOMPARE(ui(m_window).rowTexts(), QStringList{ "Primora S/N: 0500A1B2 at 127.0.0.1" });
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(m_window->findChildren<NetworkDevice *>().size(), 1);
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY(offMeanwhile);
}

void NetworkWindowTest::closedWhileTheLastAcknowledgementsAreAwaited_data()
{
    QTest::addColumn<int>("signal");            // 0: the window is closed
    QTest::newRow("window closed") << 0;
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("Ctrl+C") << int(SIGINT);
}

// Closing the window (or a signal, which closes it) while the upload waits
// for the last acknowledgements stops it there: no header, no check, no
// result dialog, and the press that started it returns at once rather than
// after the wait.
void NetworkWindowTest::closedWhileTheLastAcknowledgementsAreAwaited()
{
    QFETCH(int, signal);
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    options.silentFromRecord = 40;
    SimulatedDevice simulated(options);
    QVERIFY(simulated.isListening());
    addThroughDialog(QStringLiteral("127.0.0.1"), simulated.port());
    QTRY_COMPARE(ui(m_window).rowTexts().size(), 1);
    QVERIFY(chooseImage(QByteArray(32 * 40, 'y')));
    m_window->show();

    ModalDriver driver(ModalDriver::dismissAll());
    QElapsedTimer closedAt;
    QTimer watch;
    connect(&watch, &QTimer::timeout, m_window.get(), [&] {
        if (simulated.journal().filter(QStringLiteral(" record ")).size() == 40 && !closedAt.isValid()) {
            closedAt.start();
            if (signal) {
                InterruptSignal::install();
                ::raise(signal);
            } else {
                m_window->close();
            }
        }
    });
    watch.start(5);
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    watch.stop();
    QVERIFY(closedAt.isValid());
    // (The window looks for a signal every 100 ms.)
    QVERIFY2(closedAt.elapsed() < 1000, qPrintable(QString::number(closedAt.elapsed())));
    InterruptSignal::flag() = false;
    QVERIFY(!m_window->isVisible());
    QCOMPARE(driver.seen(), QStringList());
    QTRY_VERIFY(simulated.allClosed());
    const QStringList journal = simulated.journal();
    QVERIFY(journal.filter(QStringLiteral("header")).isEmpty());
    QVERIFY(journal.filter(QStringLiteral("check")).isEmpty());

    // The last window closed, so the application was told to quit, which
    // keeps every event loop started afterwards from running: one run of the
    // application's own loop clears that again for the tests that follow.
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    QEventLoop loop;
    QTimer::singleShot(10, &loop, [&loop] { loop.exit(7); });
    QCOMPARE(loop.exec(), 7);
}

void NetworkWindowTest::verifiedByTheDevicesCheck_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("tip");
    QTest::newRow("'I' image") << "PR_NET.IN2" << "Update complete, verified by the device" << "";
    QTest::newRow("'W' image") << "PR_INB.IN2" << "Update complete, not verified"
                               << "A 'W' image has no check that would confirm it.";
}

// With "Verify After Writing" on, a network device's own check of the whole
// image is the verification; a 'W' image, which has none, is not verified.
void NetworkWindowTest::verifiedByTheDevicesCheck()
{
    QFETCH(QString, image);
    QFETCH(QString, bar);
    QFETCH(QString, tip);
    NetworkDeviceSimulator::Options options;
    options.port = 0;
    SimulatedDevice simulated(options);
    addThroughDialog(QStringLiteral("127.0.0.1"), simulated.port());
    QTRY_COMPARE(ui(m_window).rowTexts().size(), 1);
    QVERIFY(chooseImage(QByteArray(320, 'v'), image));
    probe(m_window).verifyAction()->setChecked(true);
    ModalDriver driver(ModalDriver::dismissAll());
    QTest::mouseClick(ui(m_window).updBtn, Qt::LeftButton);
    QCOMPARE(ui(m_window).progressBar->text(), bar);
    QCOMPARE(ui(m_window).progressBar->toolTip(), tip);
}

QTEST_MAIN(NetworkWindowTest)
#include "tst_networkwindow.moc"
