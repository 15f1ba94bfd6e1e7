// An RS-485 converter whose serial port this user may not open (runs as a
// throwaway unprivileged user; a pseudo-terminal plays the converter):
// "SUB-20 not connected!" says why and how to mend it.
#include "mainwindow.h"

#include "modaldriver.h"
#include "privatesettings.h"

#include <QMessageBox>
#include <QSettings>
#include <QtTest>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

class AdapterAccessTest : public QObject
{
    Q_OBJECT
private slots:
    void converterWithoutAccess();
};

void AdapterAccessTest::converterWithoutAccess()
{
    if (::geteuid() == 0)
        QSKIP("root opens every device node: run through as-unprivileged.sh");
    PrivateSettings settings;
    int master = -1;
    int slave = -1;
    char name[64] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    ::close(slave);
    QCOMPARE(::chmod(name, 0), 0);
    qunsetenv("TAMSEL_ADAPTER");
    {
        QSettings stored(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"), QStringLiteral("Tamsel"));
        stored.setValue(QStringLiteral("adapter/backend"), QStringLiteral("rs485"));
        stored.setValue(QStringLiteral("adapter/port"), QString::fromLatin1(name));
    }
    QStringList boxes;
    // Closed without a click: Close would quit while no adapter is open.
    ModalDriver driver([&boxes](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            boxes << box->informativeText();
            box->done(QMessageBox::Close);
        }
    });
    MainWindow window;
    QCOMPARE(boxes, QStringList({ QStringLiteral("SUB-20 not connected! This user may not open %1, the RS-485 "
                                                 "converter's serial port: add the user to the dialout group and "
                                                 "log in again.")
                                      .arg(QString::fromLatin1(name)) }));
    ::close(master);
}

QTEST_MAIN(AdapterAccessTest)
#include "tst_adapteraccess.moc"
