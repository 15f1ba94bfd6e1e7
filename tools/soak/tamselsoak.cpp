// Runs Tamsel's window for a long time and prints its resident memory at
// checkpoints: Modbus updates into the simulated pad, one after another,
// with the trace capture on (every request and answer reaches the trace
// window).
//   tamsel-soak CYCLES
// Exit status 0 when the last checkpoint is within 2 MB of the one after the
// warm-up, 1 when memory grew more, 2 when the run could not be made.
#include "mainwindow.h"
#include "mainwindowprobe.h"
#include "tamselwidgets.h"

#include "logbrowser.h"
#include "logbrowserdialog.h"
#include "privatesettings.h"
#include "residentmemory.h"
#include "settle.h"
#include "simulatedsub20.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTextBrowser>
#include <QTextDocument>

#include <cstdio>

class TamselSoak
{
public:
    static int run(int cycles);
};

int TamselSoak::run(int cycles)
{
    PrivateSettings privateSettings;
    qputenv("TAMSEL_ADAPTER", "simulated");

    // 2 KiB of Modbus records into the pad at its default address.
    QByteArray image(2048, Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 31 + 7);
    const QString path = privateSettings.path() + QStringLiteral("/PAD.INC");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 2;
    file.close();
    {
        QSettings stored(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"), QStringLiteral("Tamsel"));
        stored.setValue(QStringLiteral("settings/connection_type"), 1);
        stored.setValue(QStringLiteral("settings/filename"), path);
    }

    MainWindow window;
    auto *pad = reinterpret_cast<SimulatedSub20 *>(probe(&window).adapterHandle().load());
    if (!pad) {
        std::fprintf(stderr, "tamsel-soak: the simulated adapter did not open\n");
        return 2;
    }
    window.logHotKeyPressed();
    auto *trace = probe(&window).logBrowser()->dialog()->findChild<QTextBrowser *>();
    ResidentMemory memory(QStringLiteral("modbus"), cycles);
    for (int i = 1; i <= cycles; ++i) {
        ui(&window).updBtn->click();
        if (!settle([&] { return ui(&window).updBtn->text() == QLatin1String("Start Update"); }, 10000)
            || pad->image() != image) {
            std::fprintf(stderr, "tamsel-soak: update %d did not complete\n", i);
            return 2;
        }
        memory.cycleDone(i);
    }
    std::printf("modbus: %d trace lines kept\n", trace->document()->blockCount());
    return memory.verdict(2048) ? 0 : 1;
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    bool ok = false;
    const int cycles = app.arguments().value(1).toInt(&ok);
    if (!ok || cycles < 1) {
        std::fprintf(stderr, "usage: tamsel-soak CYCLES\n");
        return 2;
    }
    return TamselSoak::run(cycles);
}
