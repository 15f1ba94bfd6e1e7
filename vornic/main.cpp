#include "cmndialog.h"
#include "interruptsignal.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // SIGTERM (a desktop logout) or Ctrl+C in the terminal: the window ends a
    // transfer cleanly and closes; a second signal ends the program at once.
    InterruptSignal::install();
    CMNDialog window;
    window.show();
    return app.exec();
}
