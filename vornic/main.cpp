#include "cmndialog.h"
#include "filenames.h"
#include "interruptsignal.h"

#include "windowoptions.h"

#include <QApplication>

namespace {

const char usage[] =
    "Usage: vornic [IMAGE]\n"
    "\n"
    "Writes firmware images into Ordane devices: over USB (DFU), through a\n"
    "device's serial port (it restarts into its bootloader and is written over\n"
    "USB), or over the network. Choose the device in the list, the image with\n"
    "\"Load Image\", and press \"Update Firmware\".\n"
    "\n"
    "  IMAGE          A firmware image to offer for this run, instead of the\n"
    "                 one remembered from the last.\n"
    "  -h, --help     Show this help.\n"
    "  -v, --version  Show the version.\n"
    "\n"
    "Settings live in ~/.config/Ordane/Vornic.ini. vornic-cli does the same\n"
    "without a window (vornic-cli --help).\n";

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the window system is asked for: these work without a
    // display.
    if (WindowOptions::answered(argc, argv, usage, "vornic " ORDANE_VERSION))
        return 0;
    // File names and arguments keep every byte, valid UTF-8 or not.
    FileNames::install();
    QApplication app(argc, argv);
    FileNames::keepArguments(argc, argv);
    // SIGTERM (a desktop logout) or Ctrl+C in the terminal: the window ends a
    // transfer cleanly and closes; a second signal ends the program at once.
    InterruptSignal::install();
    CMNDialog window;
    window.show();
    return app.exec();
}
