// Runs Vornic's window for a long time and prints its resident memory at
// checkpoints: emulated USB devices plugged and unplugged (run under
// umockdev-wrapper), and network devices added through the window's check
// against a simulated device in a process of its own.
//   vornic-soak plug CYCLES
//   vornic-soak checks CYCLES NETWORK-DEVICE-SIM
// Exit status 0 when the last checkpoint is within 2 MB of the one after the
// warm-up, 1 when memory grew more, 2 when the run could not be made.
#include "cmndialog.h"

#include "emulateddfudevice.h"
#include "privatesettings.h"
#include "residentmemory.h"
#include "settle.h"
#include "usbtestbed.h"

#include <QApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>

#include <cstdio>

namespace {

const long allowanceKb = 2048;

// The window's debug lines are not printed; the reports of its network
// checks are counted, so that the next check starts only once the last one
// has been answered (the window refuses a check while another is pending).
int checkReports = 0;

void countReports(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QLatin1String("response:")))
        ++checkReports;
}

int plugCycles(int cycles)
{
    UsbTestbed testbed;
    if (!testbed.isValid()) {
        std::fprintf(stderr, "vornic-soak: run the plug phase under umockdev-wrapper\n");
        return 2;
    }
    CMNDialog window;
    auto *trace = window.findChild<QPlainTextEdit *>();
    auto *list = window.findChild<QListWidget *>();
    EmulatedDfuDevice::Config config;
    config.initialState = EmulatedDfuDevice::AppIdle;
    EmulatedDfuDevice device(config);
    ResidentMemory memory(QStringLiteral("plug"), cycles);
    for (int i = 1; i <= cycles; ++i) {
        if (device.plug(testbed).isEmpty() || !settle([&] { return list->count() == 1; })) {
            std::fprintf(stderr, "vornic-soak: plug %d was not seen\n", i);
            return 2;
        }
        device.unplug(testbed);
        // The emulated device's own record of requests is not the window's.
        device.reset();
        if (!settle([&] { return list->count() == 0; })) {
            std::fprintf(stderr, "vornic-soak: unplug %d was not seen\n", i);
            return 2;
        }
        memory.cycleDone(i);
    }
    std::printf("plug: %d trace lines kept\n", trace->document()->blockCount());
    return memory.verdict(allowanceKb) ? 0 : 1;
}

int checkCycles(int cycles, const QString &simulatorProgram)
{
    QProcess simulator;
    simulator.start(simulatorProgram, { QStringLiteral("--port"), QStringLiteral("0") });
    if (!simulator.waitForReadyRead(5000)) {
        std::fprintf(stderr, "vornic-soak: %s did not start\n", qPrintable(simulatorProgram));
        return 2;
    }
    const QByteArray greeting = simulator.readLine().trimmed();
    const QString port = QString::fromLatin1(greeting.mid(greeting.lastIndexOf(':') + 1));

    CMNDialog window;
    auto *list = window.findChild<QListWidget *>();
    ResidentMemory memory(QStringLiteral("checks"), cycles);
    for (int i = 1; i <= cycles; ++i) {
        // The first check lists the device; every later one finds it listed.
        window.getNetworkDeviceOptions(QStringLiteral("127.0.0.1"), port);
        if (!settle([&] { return checkReports == i; }) || list->count() != 1) {
            std::fprintf(stderr, "vornic-soak: check %d was not answered or listed\n", i);
            return 2;
        }
        memory.cycleDone(i);
    }
    simulator.kill();
    simulator.waitForFinished();
    return memory.verdict(allowanceKb) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    bool ok = false;
    const int cycles = arguments.value(2).toInt(&ok);
    if (!ok || cycles < 1 || !(arguments.value(1) == QLatin1String("plug") || arguments.size() == 4)) {
        std::fprintf(stderr, "usage: vornic-soak plug CYCLES | vornic-soak checks CYCLES NETWORK-DEVICE-SIM\n");
        return 2;
    }
    qInstallMessageHandler(countReports);
    PrivateSettings settings;
    if (arguments.value(1) == QLatin1String("plug"))
        return plugCycles(cycles);
    if (arguments.value(1) == QLatin1String("checks"))
        return checkCycles(cycles, arguments.value(3));
    std::fprintf(stderr, "vornic-soak: unknown phase %s\n", qPrintable(arguments.value(1)));
    return 2;
}
