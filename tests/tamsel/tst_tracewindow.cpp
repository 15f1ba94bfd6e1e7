// The trace window: lines by message type, messages from another thread,
// Clear, and Save Trace with its dialog and error box.
#include "logbrowser.h"
#include "logbrowserdialog.h"

#include "modaldriver.h"
#include "tracelines.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

class TraceWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void lines_data();
    void lines();
    void fromAnotherThreadInOrder();
    void clearAndSave();
    void keepsTheNewestLines();
};

void TraceWindowTest::lines_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("shown");          // empty: nothing appended
    QTest::newRow("debug") << int(QtDebugMsg) << "x";
    QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("\u2014 WARNING: x");
    QTest::newRow("critical") << int(QtCriticalMsg) << QStringLiteral("\u2014 CRITICAL: x");
    QTest::newRow("fatal") << int(QtFatalMsg) << QStringLiteral("\u2014 FATAL: x");
    QTest::newRow("info unchanged") << int(QtInfoMsg) << "x";
    QTest::newRow("above 4 dropped") << 5 << "";
}

void TraceWindowTest::lines()
{
    QFETCH(int, type);
    QFETCH(QString, shown);
    LogBrowserDialog dialog(nullptr);
    dialog.outputMessage(QtMsgType(type), QStringLiteral("x"));
    QCOMPARE(dialog.browser->toPlainText(), shown);
}

void TraceWindowTest::fromAnotherThreadInOrder()
{
    QWidget mainWindow;
    mainWindow.setStyleSheet(QStringLiteral("QPushButton { color: red; }"));
    LogBrowser log(&mainWindow);
    QCOMPARE(log.dialog()->styleSheet(), mainWindow.styleSheet());
    QVERIFY(log.dialog()->isHidden());
    QThread *worker = QThread::create([&log] {
        for (int i = 0; i < 50; ++i)
            log.outputMessage(QtInfoMsg, QString::number(i));
    });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    QStringList expected;
    for (int i = 0; i < 50; ++i)
        expected << QString::number(i);
    QTRY_COMPARE(log.dialog()->browser->toPlainText(), expected.join('\n'));
    log.hideBrowser();
    QVERIFY(log.dialog()->isVisible());
    log.hideBrowser();
    QVERIFY(log.dialog()->isHidden());
}

void TraceWindowTest::clearAndSave()
{
    LogBrowserDialog dialog(nullptr);
    dialog.outputMessage(QtDebugMsg, QStringLiteral("old"));
    QTest::mouseClick(dialog.clearButton, Qt::LeftButton);
    QVERIFY(dialog.browser->toPlainText().isEmpty());
    dialog.outputMessage(QtDebugMsg, QStringLiteral("first"));
    dialog.outputMessage(QtWarningMsg, QStringLiteral("second"));

    QTemporaryDir dir;
    QString proposed;
    QStringList filters;
    QString answer;                              // empty: cancel
    QStringList errors;
    ModalDriver driver([&](QWidget *widget) {
        if (auto *files = qobject_cast<QFileDialog *>(widget)) {
            proposed = QDir(files->directory()).filePath(files->findChild<QLineEdit *>()->text());
            filters = files->nameFilters();
            if (answer.isEmpty()) {
                files->reject();
            } else {
                files->findChild<QLineEdit *>()->setText(answer);
                QTest::keyClick(files->findChild<QLineEdit *>(), Qt::Key_Return);
            }
        } else if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            errors << box->windowTitle() + QLatin1Char('|') + box->text();
            ModalDriver::pressButton(box, QStringLiteral("OK"));
        }
    });

    QTest::mouseClick(dialog.saveButton, Qt::LeftButton);
    QCOMPARE(proposed, QDir::home().filePath(QStringLiteral("logfile.txt")));
    QCOMPARE(filters, QStringList({ "Text Files (*.txt)", "All Files (*)" }));
    QVERIFY(errors.isEmpty());

    answer = dir.filePath(QStringLiteral("trace.txt"));
    QTest::mouseClick(dialog.saveButton, Qt::LeftButton);
    QFile saved(answer);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(saved.readAll()), QStringLiteral("first\n\u2014 WARNING: second"));

    answer = dir.filePath(QStringLiteral("no/such/folder/trace.txt"));
    QTest::mouseClick(dialog.saveButton, Qt::LeftButton);
    QCOMPARE(errors, QStringList({ "Error|<nobr>File '" + answer
                                   + "'<br/>cannot be opened for writing.<br/><br/>The log output could <b>not</b> be "
                                     "saved!</nobr>" }));
}

void TraceWindowTest::keepsTheNewestLines()
{
    // A station that runs for weeks: the oldest lines give way, the newest
    // stay in order, also after Clear.
    LogBrowserDialog dialog(nullptr);
    dialog.outputMessage(QtDebugMsg, QStringLiteral("old"));
    QTest::mouseClick(dialog.clearButton, Qt::LeftButton);
    const int written = 2 * TraceLineLimit + 25;
    for (int i = 0; i < written; ++i)
        dialog.outputMessage(i % 2 ? QtWarningMsg : QtDebugMsg, QString::number(i));
    const QStringList lines = dialog.browser->toPlainText().split(QLatin1Char('\n'));
    QVERIFY2(lines.size() <= TraceLineLimit && lines.size() > TraceLineLimit - TraceTrimLines,
             qPrintable(QString::number(lines.size())));
    for (int i = 0; i < lines.size(); ++i) {
        const int number = written - lines.size() + i;
        const QString expected = number % 2 ? QStringLiteral("\u2014 WARNING: %1").arg(number) : QString::number(number);
        QCOMPARE(lines.at(i), expected);
    }
    // What is saved is every line since Clear, the first ones too.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("trace.txt"));
    QVERIFY(dialog.saveTo(path));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QStringList all = QString::fromUtf8(saved.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(all.size(), written);
    for (int number = 0; number < written; ++number)
        QCOMPARE(all.at(number), number % 2 ? QStringLiteral("\u2014 WARNING: %1").arg(number) : QString::number(number));
}

QTEST_MAIN(TraceWindowTest)
#include "tst_tracewindow.moc"
