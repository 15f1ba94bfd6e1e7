#include "modaldriver.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QErrorMessage>
#include <QMenu>
#include <QPushButton>
#include <QMessageBox>
#include <QTextEdit>
#include <QTest>

ModalDriver::ModalDriver(Handler handler, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler))
{
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start(20);
}

void ModalDriver::poll()
{
    // The same dialog object may be shown again later (a menu member, say):
    // once it has been hidden, it counts as new.
    if (m_last && !m_last->isVisible())
        m_last = nullptr;
    QWidget *widget = QApplication::activePopupWidget();
    if (!widget)
        widget = QApplication::activeModalWidget();
    if (!widget) {
        // A dialog shown before its exec() (QErrorMessage::showMessage does
        // that) runs its own loop without being registered as modal.
        for (QWidget *candidate : QApplication::topLevelWidgets()) {
            if (candidate->isVisible()
                && (qobject_cast<QErrorMessage *>(candidate) || qobject_cast<QMessageBox *>(candidate))) {
                widget = candidate;
                break;
            }
        }
    }
    if (!widget || !widget->isVisible() || widget == m_last)
        return;
    m_last = widget;
    ++m_handled;
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        m_seen << box->windowTitle() + QLatin1Char('|') + box->text();
    } else if (auto *error = qobject_cast<QErrorMessage *>(widget)) {
        const auto *edit = error->findChild<QTextEdit *>();
        m_seen << error->windowTitle() + QLatin1Char('|') + (edit ? edit->toPlainText() : QString());
    }
    m_handler(widget);
    // Closed by the handler: if it comes back, it is a new appearance.
    if (!m_last || !m_last->isVisible())
        m_last = nullptr;
}

void ModalDriver::pressButton(QMessageBox *box, const QString &text)
{
    if (text.isEmpty()) {
        // The key itself, so that the box's own handling of Escape is tested.
        QTest::keyClick(box, Qt::Key_Escape);
        return;
    }
    for (QAbstractButton *button : box->buttons()) {
        if (button->text() == text) {
            button->click();
            return;
        }
    }
    box->reject();
}

ModalDriver::Handler ModalDriver::pressing(const QString &button, QStringList *asked)
{
    return [button, asked](QWidget *widget) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box) {
            widget->close();
            return;
        }
        *asked << box->text() + QLatin1Char('|') + box->informativeText();
        const QList<QAbstractButton *> buttons = box->buttons();
        const bool offered = std::any_of(buttons.begin(), buttons.end(),
                                         [&button](QAbstractButton *b) { return b->text() == button; });
        pressButton(box, offered ? button : QString());
    };
}

ModalDriver::Handler ModalDriver::dismissAll()
{
    return [](QWidget *widget) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            if (QAbstractButton *button = box->defaultButton())
                button->click();
            else if (!box->buttons().isEmpty())
                box->buttons().first()->click();
            else
                box->accept();
        } else if (auto *menu = qobject_cast<QMenu *>(widget)) {
            menu->close();
        } else if (auto *dialog = qobject_cast<QDialog *>(widget)) {
            dialog->reject();
        } else {
            widget->close();
        }
    };
}
