// Renders Vornic's main window (and, with --trace, its trace window; with
// --station, a production station with a port in each state) to PNG files,
// so anyone can see what a user sees without a display:
//   QT_QPA_PLATFORM=offscreen vornic-snapshot window.png [--trace trace.png] [--station station.png] [image-path]
#include "cmndialog.h"
#include "devicecatalog.h"
#include "stationtile.h"
#include "stationwindow.h"

#include <QApplication>
#include <QDialog>
#include <QPixmap>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WINDOW.png [--trace TRACE.png] [--station STATION.png] [IMAGE-PATH]\n",
                     argv[0]);
        return 2;
    }
    const QString windowPng = QString::fromLocal8Bit(argv[1]);
    QString tracePng;
    QString stationPng;
    // The window takes its image path from the first argument after the
    // program name, so hand it an argument list of its own.
    QByteArray programName(argv[0]);
    QByteArray imagePath;
    for (int i = 2; i < argc; ++i) {
        if (qstrcmp(argv[i], "--trace") == 0 && i + 1 < argc)
            tracePng = QString::fromLocal8Bit(argv[++i]);
        else if (qstrcmp(argv[i], "--station") == 0 && i + 1 < argc)
            stationPng = QString::fromLocal8Bit(argv[++i]);
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
    if (!stationPng.isEmpty()) {
        // The station's window as a line sees it mid-shift: six ports, one
        // in each state.
        StationWindow station(nullptr);
        station.chooseImage(QString::fromLocal8Bit(imagePath));
        const auto tile = [&station](const char *port, const char *serial, StationPort::State state, int percent,
                                     const QString &detail, qint64 ms = 0, bool restarting = false,
                                     const char *model = "Dongara") {
            StationTile::View view;
            view.port = QLatin1String(port);
            view.model = QLatin1String(model);
            view.serialNumber = QLatin1String(serial);
            view.state = state;
            view.percent = percent;
            view.detail = detail;
            view.elapsedMs = ms;
            view.awaitingReturn = restarting;
            station.tileFor(view.port)->show(view);
        };
        tile("1-3.1", "04E2B9C1", StationPort::Done, 100, QStringLiteral("Verified."), 8400);
        tile("1-3.2", "04E2B9C2", StationPort::Writing, 62, QString());
        tile("1-3.3", "04E2B9C3", StationPort::Verifying, 100, QString());
        tile("1-3.4", "04E2B9C4", StationPort::Writing, 0, QString(), 0, true);
        tile("ttyACM0", "04E2C3D4", StationPort::Failed, 37,
             QStringLiteral("The device left the bus at block 37 of 100; it holds no complete image. Plug it in "
                            "again and retry."), 3100);
        tile("1-4", "0500A1B2", StationPort::Skipped, 0,
             DeviceCatalog::imageRequirement(QStringLiteral("Primora NET"), false) + QStringLiteral(" Not written."), 0,
             false, "Primora");
        ProductionStation::Tally tally;
        tally.done = 41;
        tally.failed = 1;
        tally.skipped = 1;
        tally.writing = 3;
        tally.perHour = 212;
        station.showTally(tally);
        station.show();
        settle();
        if (!station.grab().save(stationPng)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(stationPng));
            return 1;
        }
    }
    return 0;
}
