// Renders Vornic's main window (and, with --trace, its trace window) to PNG
// files, so anyone can see what a user sees without a display:
//   QT_QPA_PLATFORM=offscreen vornic-snapshot window.png [--trace trace.png] [image-path]
#include "cmndialog.h"

#include <QApplication>
#include <QDialog>
#include <QPixmap>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WINDOW.png [--trace TRACE.png] [IMAGE-PATH]\n", argv[0]);
        return 2;
    }
    const QString windowPng = QString::fromLocal8Bit(argv[1]);
    QString tracePng;
    // The window takes its image path from the first argument after the
    // program name, so hand it an argument list of its own.
    QByteArray programName(argv[0]);
    QByteArray imagePath;
    for (int i = 2; i < argc; ++i) {
        if (qstrcmp(argv[i], "--trace") == 0 && i + 1 < argc)
            tracePng = QString::fromLocal8Bit(argv[++i]);
        else
            imagePath = argv[i];
    }
    int appArgc = imagePath.isEmpty() ? 1 : 2;
    char *appArgv[] = { programName.data(), imagePath.data(), nullptr };
    QApplication app(appArgc, appArgv);

    const auto settle = [] {
        QEventLoop loop;
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
    };

    CMNDialog window;
    window.show();
    settle();
    if (!window.grab().save(windowPng)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(windowPng));
        return 1;
    }
    if (!tracePng.isEmpty()) {
        window.keyCtrlDPressed();
        settle();
        auto *trace = window.findChild<QDialog *>();
        if (!trace || !trace->grab().save(tracePng)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(tracePng));
            return 1;
        }
    }
    return 0;
}
