#include "mainwindow.h"
#include "filenames.h"

#include "interruptsignal.h"

#include "windowoptions.h"

#include <QApplication>

namespace {

const char usage[] =
    "Usage: tamsel\n"
    "\n"
    "Writes a firmware image (.INC) into the Ordane pad through the SUB-20\n"
    "adapter: by Modbus Write File Record requests over RS-485, or by infrared\n"
    "boot frames. Choose the road under \"Connection\", the pad's address and\n"
    "the image, and press \"Start Update\".\n"
    "\n"
    "  -h, --help     Show this help.\n"
    "  -v, --version  Show the version.\n"
    "\n"
    "Settings live in ~/.config/Ordane/Tamsel.ini; its group [adapter] chooses\n"
    "what stands for the adapter (backend=rs485 for a USB-to-RS-485 converter,\n"
    "backend=simulated for a simulated pad). tamsel-cli does the same without a\n"
    "window (tamsel-cli --help).\n";

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the window system is asked for: these work without a
    // display.
    // The window's own version, and the release it comes with.
    if (WindowOptions::answered(argc, argv, usage, "tamsel 1.0.0 (Ordane firmware tools " ORDANE_VERSION ")"))
        return 0;
    // File names and arguments keep every byte, valid UTF-8 or not.
    FileNames::install();
    QApplication app(argc, argv);
    FileNames::keepArguments(argc, argv);
    // SIGTERM (a desktop logout) or Ctrl+C in the terminal: the window stops
    // a run at its next record or frame and closes; a second signal ends the
    // program at once.
    InterruptSignal::install();
    MainWindow window;
    window.show();
    return app.exec();
}
