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
};

#endif // WIDGETSBYNAME_H
