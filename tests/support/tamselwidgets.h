#ifndef TAMSELWIDGETS_H
#define TAMSELWIDGETS_H

#include "widgetsbyname.h"

// Tamsel's main window as a user's tools see it: its widgets and actions,
// found by the object names its form gives them.
struct TamselWidgets : WidgetsByName
{
    QPushButton *updBtn = find<QPushButton>("updBtn");
    QPushButton *loadImg = find<QPushButton>("loadImg");
    QProgressBar *progressBar = find<QProgressBar>("progressBar");
    QLineEdit *lineEdit = find<QLineEdit>("lineEdit");
    QLabel *labelDevName = find<QLabel>("labelDevName");
    QSpinBox *spinBoxAdress = find<QSpinBox>("spinBoxAdress");
    QMenu *menuActions = find<QMenu>("menuActions");
    QAction *actionModbus = find<QAction>("actionModbus");
    QAction *actionInfraRed = find<QAction>("actionInfraRed");
};

inline TamselWidgets ui(const QWidget *window)
{
    return TamselWidgets { { window } };
}

template<typename Window>
TamselWidgets ui(const std::unique_ptr<Window> &window)
{
    return ui(window.get());
}

#endif // TAMSELWIDGETS_H
