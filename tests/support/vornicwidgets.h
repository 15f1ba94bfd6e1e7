#ifndef VORNICWIDGETS_H
#define VORNICWIDGETS_H

#include "widgetsbyname.h"

// Vornic's main window as a user's tools see it: its widgets, found by the
// object names its form gives them.
struct VornicWidgets : WidgetsByName
{
    QWidget *centralWidget = find<QWidget>("centralWidget");
    QListWidget *listWidget = find<QListWidget>("listWidget");
    QProgressBar *progressBar = find<QProgressBar>("progressBar");
    QLineEdit *lineEdit = find<QLineEdit>("lineEdit");
    QPushButton *updBtn = find<QPushButton>("updBtn");
    QPushButton *loadImg = find<QPushButton>("loadImg");
    QPushButton *addNetworkDeviceBtn = find<QPushButton>("addNetworkDeviceBtn");

    // The list's rows as a user reads them.
    QStringList rowTexts() const
    {
        QStringList texts;
        for (int i = 0; listWidget && i < listWidget->count(); ++i)
            texts << listWidget->item(i)->text();
        return texts;
    }
};

inline VornicWidgets ui(const QWidget *window)
{
    return VornicWidgets { { window } };
}

template<typename Window>
VornicWidgets ui(const std::unique_ptr<Window> &window)
{
    return ui(window.get());
}

#endif // VORNICWIDGETS_H
