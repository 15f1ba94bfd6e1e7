#ifndef VORNICWIDGETS_H
#define VORNICWIDGETS_H

#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

// Vornic's main window as a user's tools see it: its widgets, found by the
// object names its form gives them.
struct VornicWidgets
{
    explicit VornicWidgets(const QWidget *window)
        : centralWidget(window->findChild<QWidget *>(QStringLiteral("centralWidget")))
        , listWidget(window->findChild<QListWidget *>(QStringLiteral("listWidget")))
        , progressBar(window->findChild<QProgressBar *>(QStringLiteral("progressBar")))
        , lineEdit(window->findChild<QLineEdit *>(QStringLiteral("lineEdit")))
        , updBtn(window->findChild<QPushButton *>(QStringLiteral("updBtn")))
        , loadImg(window->findChild<QPushButton *>(QStringLiteral("loadImg")))
        , addNetworkDeviceBtn(window->findChild<QPushButton *>(QStringLiteral("addNetworkDeviceBtn")))
    {
    }

    QWidget *centralWidget;
    QListWidget *listWidget;
    QProgressBar *progressBar;
    QLineEdit *lineEdit;
    QPushButton *updBtn;
    QPushButton *loadImg;
    QPushButton *addNetworkDeviceBtn;
};

inline VornicWidgets ui(const QWidget *window)
{
    return VornicWidgets(window);
}

template<typename Window>
VornicWidgets ui(const std::unique_ptr<Window> &window)
{
    return VornicWidgets(window.get());
}

#endif // VORNICWIDGETS_H
