// Renders Tamsel's main window (and, with --trace, its trace window) to PNG
// files, so anyone can see what a user sees: under a real X server (Xvfb,
// say) it grabs the screen as the server shows it; on the offscreen
// platform it renders the widgets.
//   tamsel-snapshot window.png [--trace trace.png]
#include "logbrowser.h"
#include "logbrowserdialog.h"
#include "mainwindow.h"

#include <QApplication>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

namespace {

void settle()
{
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget *widget, const QString &path)
{
    // The X server's own picture of the window where there is one.
    const bool onX = QGuiApplication::platformName() == QLatin1String("xcb");
    const QPixmap picture = onX ? widget->screen()->grabWindow(widget->winId()) : widget->grab();
    return picture.save(path);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WINDOW.png [--trace TRACE.png]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const QString windowPng = QString::fromLocal8Bit(argv[1]);
    const QString tracePng = argc > 3 && qstrcmp(argv[2], "--trace") == 0 ? QString::fromLocal8Bit(argv[3]) : QString();

    MainWindow window;
    window.show();
    settle();
    if (!save(&window, windowPng)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(windowPng));
        return 1;
    }
    if (!tracePng.isEmpty()) {
        window.logHotKeyPressed();
        qDebug("Trace of this snapshot");
        qWarning("a warning");
        settle();
        auto *trace = window.findChild<LogBrowser *>();
        if (!trace || !save(trace->dialog(), tracePng)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(tracePng));
            return 1;
        }
        window.logHotKeyPressed();
    }
    return 0;
}
