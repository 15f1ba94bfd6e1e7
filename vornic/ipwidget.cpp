#include "ipwidget.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolTip>

namespace {

const int fieldCount = 4;

QFont dialogFont()
{
    return QFont(QStringLiteral("Tahoma"), 9);
}

} // namespace

IPWidget::IPWidget(QWidget *parent)
    : QWidget(parent)
    , octetValidator(new QIntValidator(0, 255, this))
    , backFrame(new QFrame(this))
{
    for (int i = 0; i < fieldCount; ++i) {
        auto *edit = new QLineEdit(backFrame);
        edit->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        edit->setFixedSize(33, 24);
        edit->setMaxLength(3);
        edit->setFont(dialogFont());
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setAutoFillBackground(true);
        edit->setValidator(octetValidator);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, &IPWidget::popupWarning);
        connect(edit, &QLineEdit::returnPressed, this, &IPWidget::finishEditIPAddress);
        edits << edit;
    }

    backFrame->setProperty("greyFrame", true);
    backFrame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    backFrame->setFixedSize(150, 26);
    backFrame->setStyleSheet(tr("background: white;"));
    auto *frameLayout = new QHBoxLayout(backFrame);
    frameLayout->setSpacing(0);
    frameLayout->setContentsMargins(0, 0, 0, 0);
    for (int i = 0; i < fieldCount; ++i) {
        frameLayout->addWidget(edits.at(i));
        if (i == fieldCount - 1)
            break;
        auto *dot = new QLabel(QStringLiteral("."), backFrame);
        dot->setProperty("dotLabel", true);
        dot->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        dot->setFixedSize(5, 24);
        dot->setFont(dialogFont());
        dot->setAutoFillBackground(true);
        dot->setFrameShape(QFrame::NoFrame);
        dot->setFrameShadow(QFrame::Plain);
        dot->setAlignment(Qt::AlignCenter);
        frameLayout->addWidget(dot);
    }

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(backFrame);
}

QString IPWidget::ipAddressText() const
{
    QStringList parts;
    for (const QLineEdit *edit : edits)
        parts << edit->text();
    return parts.join(QLatin1Char('.'));
}

void IPWidget::setIpAddress(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    for (int i = 0; i < fieldCount && i < parts.size(); ++i)
        edits.at(i)->setText(parts.at(i));
}

void IPWidget::finishEditIPAddress()
{
    address.clear();
    for (int i = 0; i < fieldCount; ++i) {
        const QString text = edits.at(i)->text();
        if (text.isEmpty())
            return;
        address += text;
        if (i < fieldCount - 1)
            address += QLatin1Char('.');
    }
    emit sendIP(address);
}

void IPWidget::popupWarning(QString text)
{
    auto *field = qobject_cast<QLineEdit *>(sender());
    if (field && edits.contains(field) && field->hasFocus())
        finishEditIPAddress();
    int position = 0;
    octetValidator->validate(text, position);
}

void IPWidget::hideToolTip()
{
    QToolTip::showText(QPoint(), QString());
}

void IPWidget::leaveField(int n, bool selectNext)
{
    QLineEdit *field = edits.at(n);
    QString trimmed = field->text();
    while (trimmed.length() > 1 && trimmed.startsWith(QLatin1Char('0')))
        trimmed.remove(0, 1);
    field->setText(trimmed);
    QLineEdit *next = edits.at(n + 1);
    next->setFocus(Qt::OtherFocusReason);
    next->setCursorPosition(0);
    if (selectNext)
        next->setSelection(0, 3);
}

bool IPWidget::eventFilter(QObject *object, QEvent *event)
{
    auto *field = qobject_cast<QLineEdit *>(object);
    const int n = field ? edits.indexOf(field) : -1;
    if (n < 0 || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(object, event);

    const auto *key = static_cast<QKeyEvent *>(event);
    const QString text = field->text();
    const int length = text.length();
    const int cursor = field->cursorPosition();
    switch (key->key()) {
    case Qt::Key_Right:
        if (cursor < length)
            field->setCursorPosition(cursor + 1);
        else if (n < fieldCount - 1)
            leaveField(n, false);
        return true;
    case Qt::Key_Period:
    case Qt::Key_Comma:
        // Typed as one types an address: the separator ends this field and
        // the next one is ready to be typed over.
        if (n < fieldCount - 1 && length > 0)
            leaveField(n, true);
        return true;
    case Qt::Key_Left:
        if (cursor > 0) {
            field->setCursorPosition(cursor - 1);
        } else if (n > 0) {
            edits.at(n - 1)->setFocus(Qt::OtherFocusReason);
            edits.at(n - 1)->setCursorPosition(edits.at(n - 1)->text().length());
        }
        return true;
    case Qt::Key_Backspace:
        if (cursor > 0) {
            field->setText(text.left(cursor - 1) + text.mid(cursor));
            field->setCursorPosition(cursor - 1);
            return true;
        }
        if (n > 0) {
            edits.at(n - 1)->setFocus(Qt::OtherFocusReason);
            edits.at(n - 1)->setCursorPosition(edits.at(n - 1)->text().length());
        }
        return false;
    default:
        if (key->key() >= Qt::Key_0 && key->key() <= Qt::Key_9 && n < fieldCount - 1 && length == 3 && cursor == 3
            && !field->hasSelectedText()) {
            edits.at(n + 1)->setFocus(Qt::OtherFocusReason);
            edits.at(n + 1)->setCursorPosition(0);
            edits.at(n + 1)->setSelection(0, 3);
        }
        return QWidget::eventFilter(object, event);
    }
}
