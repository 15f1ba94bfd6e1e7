// The image of the main window: choosing it, and judging whether it suits
// the device of the current row before anything is written.
#include "cmndialog.h"
#include "ui_cmndialog.h"

#include "devicecatalog.h"
#include "devicetype.h"

#include "plaintextbox.h"

#include <QDir>
#include <QFileDialog>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

int CMNDialog::deviceTypeIndex() const
{
    const QListWidgetItem *current = ui->listWidget->currentItem();
    if (!current)
        return -1;
    return DeviceCatalog::typeOfRow(current->text());
}

bool CMNDialog::imageMatchesDevice() const
{
    const QListWidgetItem *current = ui->listWidget->currentItem();
    const QString rowText = current ? current->text() : QString();
    return DeviceCatalog::imageMatches(rowText, ui->lineEdit->text(), isNetworkDevice());
}

int CMNDialog::askButtons(QMessageBox::Icon icon, const QString &title, const QString &text,
                          const QStringList &buttons, int defaultButton, int escapeButton, QWidget *parent,
                          const QString &explanation)
{
    PlainTextBox box(icon, title, text, QMessageBox::NoButton, parent);
    box.setInformativeText(explanation);
    QList<QPushButton *> added;
    for (const QString &button : buttons)
        added << box.addButton(button, QMessageBox::ActionRole);
    if (defaultButton >= 0)
        box.setDefaultButton(added.value(defaultButton));
    if (escapeButton >= 0)
        box.setEscapeButton(added.value(escapeButton));
    box.exec();
    return added.indexOf(qobject_cast<QPushButton *>(box.clickedButton()));
}

bool CMNDialog::confirmUpdate()
{
    const QListWidgetItem *current = ui->listWidget->currentItem();
    const QString rowText = current ? current->text() : QString();

    const auto ask = [this](const QString &text, const QString &goOn, const QString &explanation = QString()) {
        return askButtons(QMessageBox::Warning, QStringLiteral("Vornic"), text, { goOn, QStringLiteral("Cancel") }, 0,
                          1, this, explanation)
            == 0;
    };

    if (DeviceCatalog::isUnknownRow(rowText)) {
        if (!ask(QStringLiteral("You are trying to upload the Firmware into  the Unknown device. "),
                 QStringLiteral("Upload")))
            return false;
    }
    if (!imageMatchesDevice()) {
        // Said with what would match, so the user can tell a wrong image
        // from a badly named one.
        if (!ask(QStringLiteral("The Firmware Image doesn't match the device type!"), QStringLiteral("Ignore"),
                 DeviceCatalog::imageRequirement(rowText, isNetworkDevice())))
            return false;
    }
    return true;
}

void CMNDialog::btnLoadImageClicked()
{
    const int type = deviceTypeIndex();
    if (type < 0)
        return;

    QString filter;
    if (type == UnknownDevice)
        filter = QStringLiteral("*.IN2 *.INC");
    else if (type >= Socara || isNetworkDevice())
        filter = QStringLiteral("*.IN2 *.INB");
    else
        filter = QStringLiteral("*.INC *.INB");

    const QString chosen = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Open Firmware Image"),
                                                        imageDir, filter);
    if (!chosen.isEmpty())
        imagePath = chosen;

    if (!imagePath.isEmpty()) {
        settings->setValue(QLatin1String(filenameKey), QDir().absoluteFilePath(imagePath));
        ui->lineEdit->setText(imagePath);
        updateUpdateButton();
    }
}
