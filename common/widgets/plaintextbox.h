#ifndef PLAINTEXTBOX_H
#define PLAINTEXTBOX_H

#include <QMessageBox>

// A message box that shows its texts as the plain text they are. A box's
// text often names a device by what the device says of itself, and Qt
// would take a text that looks like markup ("<img src=...>", "<a href>")
// for rich text and render it.
class PlainTextBox : public QMessageBox
{
    Q_OBJECT
public:
    PlainTextBox(Icon icon, const QString &title, const QString &text, StandardButtons buttons = NoButton,
                 QWidget *parent = nullptr);

    // As QMessageBox's own, with an OK button; the button pressed.
    static int warning(QWidget *parent, const QString &title, const QString &text);
    static int critical(QWidget *parent, const QString &title, const QString &text);
    static int information(QWidget *parent, const QString &title, const QString &text);
    // `text` as a tool tip shows it: plain, whatever it looks like.
    static QString toolTip(const QString &text);

protected:
    void showEvent(QShowEvent *event) override;
};

#endif // PLAINTEXTBOX_H
