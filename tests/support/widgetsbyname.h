#ifndef WIDGETSBYNAME_H
#define WIDGETSBYNAME_H

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>
#include <memory>

// The base of a window's widgets as its tests find them: by object name.
struct WidgetsByName
{
    const QWidget *window;

    template<typename T>
    T *find(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }

    // The button or action under `parent` that shows `text`, as a user
    // picks it; null when there is none.
    template<typename T>
    static T *withText(const QObject *parent, const QString &text)
    {
        const QList<T *> children = parent->findChildren<T *>();
        const auto found = std::find_if(children.cbegin(), children.cend(), [&](T *c) { return c->text() == text; });
        return found == children.cend() ? nullptr : *found;
    }
};

#endif // WIDGETSBYNAME_H
