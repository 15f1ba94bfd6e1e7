#include "mainwindow.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

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
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-v")) {
            // The window's own version, and the release it comes with.
            std::printf("tamsel 1.0.0 (Ordane firmware tools %s)\n", ORDANE_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
