// Vornic started with an image path as its first argument. The test builds
// the application object itself, so that the window sees that argument.
#include "cmndialog.h"
#include "cmndialogprobe.h"
#include "vornicwidgets.h"

#include "modaldriver.h"
#include "privatesettings.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QSettings>
#include <QtTest>

#include <memory>

namespace {
const char relativeImage[] = "firmware/PR_CMD.INC";
PrivateSettings *privateSettings = nullptr;
QString storedImage;
}

class VornicSettingsTest : public QObject
{
    Q_OBJECT
private slots:
    void argumentReplacesStoredFilename();
    void fileDialogStartsInArgumentDirectory();
    void filenameIsStoredAbsolute();
};

void VornicSettingsTest::argumentReplacesStoredFilename()
{
    CMNDialog w;
    QCOMPARE(probe(&w).imagePath(), QString::fromLatin1(relativeImage));
    QCOMPARE(ui(&w).lineEdit->text(), QString::fromLatin1(relativeImage));
    QCOMPARE(probe(&w).imageDir(), QDir::current().absoluteFilePath("firmware"));
    // Defaults are untouched by the argument.
    QCOMPARE(probe(&w).lastPort(), 10102);
    QVERIFY(probe(&w).lastIp().isEmpty());

    // The argument is not written back at start.
    QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Ordane", "Vornic");
    QCOMPARE(stored.value("filename").toString(), storedImage);
}

void VornicSettingsTest::fileDialogStartsInArgumentDirectory()
{
    CMNDialog w;
    w.addListEntry("Primora S/N: 0500A1B2", QVariant(QStringLiteral("port")));
    QString directory;
    ModalDriver driver([&](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        QVERIFY(dialog);
        directory = dialog->directory().absolutePath();
        dialog->reject();
    });
    w.btnLoadImageClicked();
    QCOMPARE(driver.handledCount(), 1);
    QCOMPARE(directory, QDir::current().absoluteFilePath("firmware"));
}

void VornicSettingsTest::filenameIsStoredAbsolute()
{
    {
        CMNDialog w;
        w.addListEntry("Primora S/N: 0500A1B2", QVariant(QStringLiteral("port")));
        // Cancelling the dialog keeps the current (relative) path, which is
        // then stored in its absolute form.
        ModalDriver driver([](QWidget *widget) {
            auto *dialog = qobject_cast<QFileDialog *>(widget);
            QVERIFY(dialog);
            dialog->reject();
        });
        w.btnLoadImageClicked();
        QCOMPARE(driver.handledCount(), 1);
        QCOMPARE(ui(&w).lineEdit->text(), QString::fromLatin1(relativeImage));
    }
    QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Ordane", "Vornic");
    QCOMPARE(stored.value("filename").toString(), QDir::current().absoluteFilePath(relativeImage));
    QVERIFY(QDir::isAbsolutePath(stored.value("filename").toString()));
}

int main(int argc, char *argv[])
{
    PrivateSettings settings;
    if (!settings.isValid())
        return 1;
    privateSettings = &settings;

    // Work in a folder of our own so that the relative argument resolves
    // below it.
    QDir work(settings.path());
    work.mkpath("run/firmware");
    QDir::setCurrent(work.filePath("run"));

    storedImage = work.filePath("stored/BRDV_OLD.INC");
    {
        QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Ordane", "Vornic");
        stored.setValue("filename", storedImage);
    }

    QByteArray program(argv[0]);
    QByteArray image(relativeImage);
    int appArgc = 2;
    char *appArgv[] = { program.data(), image.data(), nullptr };
    QApplication app(appArgc, appArgv);

    VornicSettingsTest test;
    // Test-runner options go to the runner only.
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings_cmdline.moc"
