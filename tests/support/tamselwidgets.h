#ifndef TAMSELWIDGETS_H
#define TAMSELWIDGETS_H

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include <memory>

// Tamsel's main window as a user's tools see it: its widgets and actions,
// found by the object names its form gives them.
struct TamselWidgets
{
    explicit TamselWidgets(const QWidget *window)
        : updBtn(window->findChild<QPushButton *>(QStringLiteral("updBtn")))
        , loadImg(window->findChild<QPushButton *>(QStringLiteral("loadImg")))
        , progressBar(window->findChild<QProgressBar *>(QStringLiteral("progressBar")))
        , lineEdit(window->findChild<QLineEdit *>(QStringLiteral("lineEdit")))
        , labelDevName(window->findChild<QLabel *>(QStringLiteral("labelDevName")))
        , spinBoxAdress(window->findChild<QSpinBox *>(QStringLiteral("spinBoxAdress")))
        , menuActions(window->findChild<QMenu *>(QStringLiteral("menuActions")))
        , actionModbus(window->findChild<QAction *>(QStringLiteral("actionModbus")))
        , actionInfraRed(window->findChild<QAction *>(QStringLiteral("actionInfraRed")))
    {
    }

    QPushButton *updBtn;
    QPushButton *loadImg;
    QProgressBar *progressBar;
    QLineEdit *lineEdit;
    QLabel *labelDevName;
    QSpinBox *spinBoxAdress;
    QMenu *menuActions;
    QAction *actionModbus;
    QAction *actionInfraRed;
};

inline TamselWidgets ui(const QWidget *window)
{
    return TamselWidgets(window);
}

template<typename Window>
TamselWidgets ui(const std::unique_ptr<Window> &window)
{
    return TamselWidgets(window.get());
}

#endif // TAMSELWIDGETS_H
