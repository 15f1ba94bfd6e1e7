#ifndef MODALDRIVER_H
#define MODALDRIVER_H

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

class QMessageBox;
class QWidget;

// Answers modal dialogs and popup menus that a test provokes: polls for the
// active modal widget (or popup), hands each new one to a handler once and
// records what it showed. The handler must close the dialog.
class ModalDriver : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(QWidget *)>;

    explicit ModalDriver(Handler handler, QObject *parent = nullptr);

    int handledCount() const { return m_handled; }
    // Title and text of every message box handled, as "title|text".
    QStringList seen() const { return m_seen; }

    // Presses the button whose text is `text`, or the Escape key when `text`
    // is empty.
    static void pressButton(QMessageBox *box, const QString &text = QString());
    // Handler that accepts message boxes with their default button and
    // rejects any other dialog.
    static Handler dismissAll();
    // Handler that presses `button` in a message box that offers it (Escape
    // in one that does not), and records each box's text and informative
    // text, as "text|informative", in `asked`.
    static Handler pressing(const QString &button, QStringList *asked);

private:
    void poll();

    Handler m_handler;
    QTimer m_timer;
    QPointer<QWidget> m_last;
    int m_handled = 0;
    QStringList m_seen;
};

#endif // MODALDRIVER_H
