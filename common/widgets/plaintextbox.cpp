#include "plaintextbox.h"

#include <QLabel>
#include <QTextDocument>

PlainTextBox::PlainTextBox(Icon icon, const QString &title, const QString &text, StandardButtons buttons,
                           QWidget *parent)
    : QMessageBox(icon, title, text, buttons, parent)
{
    setTextFormat(Qt::PlainText);
}

int PlainTextBox::warning(QWidget *parent, const QString &title, const QString &text)
{
    PlainTextBox box(Warning, title, text, Ok, parent);
    return box.exec();
}

int PlainTextBox::critical(QWidget *parent, const QString &title, const QString &text)
{
    PlainTextBox box(Critical, title, text, Ok, parent);
    return box.exec();
}

int PlainTextBox::information(QWidget *parent, const QString &title, const QString &text)
{
    PlainTextBox box(Information, title, text, Ok, parent);
    return box.exec();
}

QString PlainTextBox::toolTip(const QString &text)
{
    // Text that does not look like markup stays as it is.
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

void PlainTextBox::showEvent(QShowEvent *event)
{
    // The informative and detailed texts have labels of their own, which
    // setTextFormat() does not reach.
    for (QLabel *label : findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);
    QMessageBox::showEvent(event);
}
